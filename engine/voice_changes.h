// The synthesizer's queue of voice changes. Internal to the engine.
#ifndef VYN_VOICE_CHANGES_H
#define VYN_VOICE_CHANGES_H

// eSpeak NG queues a copy of the voice at every selection, for its wave
// generator to take up at the next synthesis, in a ring of 170 commands
// that nothing bounds. Selections without synthesis in between, as the
// voice checks make them, fill it: the word event at the start of the next
// text then finds no room and is dropped, and beyond 170 the ring overwrites
// copies that are then never freed. Called after each selection a voice
// check makes (most checks make none), this has the generator take them up
// every few selections, with an empty text whose output goes nowhere; a
// list of a few voices synthesizes nothing more.
void settle_voice_changes() noexcept;

#endif
