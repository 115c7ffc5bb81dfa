"""The parts of vyn-anchors, whose entry is vyn_tools.anchors: the command
line (arguments), where the files go (paths), reading an input (reading),
its synthesis (synthesis), the anchor formats (formats), the picture
(plot), running the inputs (running) and what the user sees meanwhile
(report). The records they pass each other are in records."""
