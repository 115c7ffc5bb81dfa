# The training run of the profile-guided build (cmake/bundled.cmake runs
# it): the instrumented espeak-ng program speaks every text of
# cmake/espeak-training/ in a process of its own and the profile collects
# in the build directory, beside the objects that are compiled again with
# it. A file is spoken by the voice its name gives ("en+klatt.txt": en with
# the variant klatt); a .ssml file is read as SSML. Breathy variants seed
# their noise from the clock unless the program is given the fixed seed
# (-D), so every run gives the same profile.
#   cmake -DPROGRAM=espeak-ng -DDATA_ROOT=dir -DTEXTS=dir -DPROFILE_DIR=dir
#         -P espeak-train.cmake
file(GLOB_RECURSE _stale "${PROFILE_DIR}/*.gcda")
if(_stale)
  # Counts of the data compile and of earlier runs would weigh in too.
  file(REMOVE ${_stale})
endif()
file(GLOB _texts "${TEXTS}/*.txt" "${TEXTS}/*.ssml")
list(SORT _texts)
set(_output "${PROFILE_DIR}/training.wav")
foreach(_text IN LISTS _texts)
  get_filename_component(_voice "${_text}" NAME_WLE)
  set(_ssml)
  if(_text MATCHES "\\.ssml$")
    set(_ssml -m)
  endif()
  execute_process(
    COMMAND "${PROGRAM}" "--path=${DATA_ROOT}" -D ${_ssml} -v "${_voice}"
            -f "${_text}" -w "${_output}"
    RESULT_VARIABLE _result)
  if(NOT _result EQUAL 0)
    message(FATAL_ERROR "training: espeak-ng failed on ${_text}: ${_result}")
  endif()
endforeach()
file(REMOVE "${_output}")
file(GLOB_RECURSE _profile "${PROFILE_DIR}/*.gcda")
if(NOT _profile)
  # Compiled with the profile, the library would be compiled without one.
  message(FATAL_ERROR "training: ${PROGRAM} is not instrumented")
endif()
