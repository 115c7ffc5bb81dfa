# eSpeak NG's data, compiled by the bundled espeak-ng program: every
# dictionary in dictsource/ (with the extended ru, cmn and yue lists and
# each language's _extra list), every MBROLA voice table in
# phsource/mbrola/, the phonemes and intonations, the voices and languages.
# The lists come from the source tree itself, and a last step checks that
# each source has its compiled file, so nothing is left out unnoticed.
set(VYN_BUNDLED_DATA_ROOT "${CMAKE_BINARY_DIR}/vyn-data")
set(VYN_BUNDLED_DATA_DIR "${VYN_BUNDLED_DATA_ROOT}/espeak-ng-data")
set(_data "${VYN_BUNDLED_DATA_DIR}")
set(_dicts "${_espeak_src}/dictsource")
set(_phsource "${VYN_BUNDLED_DATA_ROOT}/phsource")

file(REMOVE_RECURSE "${VYN_BUNDLED_DATA_ROOT}")
file(MAKE_DIRECTORY "${_data}/voices" "${_data}/mbrola_ph")
file(COPY "${_espeak_src}/espeak-ng-data/lang" DESTINATION "${_data}")
file(COPY "${_espeak_src}/espeak-ng-data/voices/!v"
          "${_espeak_src}/espeak-ng-data/voices/mb" DESTINATION "${_data}/voices")
# The phoneme compiler reads its sources beside the data directory.
file(COPY "${_espeak_src}/phsource" DESTINATION "${VYN_BUNDLED_DATA_ROOT}")

set(_run ${CMAKE_COMMAND} -E env "ESPEAK_DATA_PATH=${VYN_BUNDLED_DATA_ROOT}"
    "${VYN_ESPEAK_NG_PROGRAM}")
set(_program_dep espeak_ng_build "${VYN_ESPEAK_NG_PROGRAM}")

add_custom_command(OUTPUT "${_data}/intonations"
  COMMAND ${_run} --compile-intonations >/dev/null
  WORKING_DIRECTORY "${_phsource}"
  DEPENDS ${_program_dep} "${_phsource}/intonation"
  COMMENT "Compiling eSpeak NG's intonations")
add_custom_command(OUTPUT "${_data}/phontab" "${_data}/phondata"
    "${_data}/phonindex" "${_data}/phondata-manifest"
  COMMAND ${_run} --compile-phonemes >/dev/null
  WORKING_DIRECTORY "${_phsource}"
  DEPENDS ${_program_dep} "${_data}/intonations"
  COMMENT "Compiling eSpeak NG's phonemes")

# Each dictionary compiles in a directory of its own, holding its lists.
file(GLOB _rules RELATIVE "${_dicts}" "${_dicts}/*_rules")
set(_outputs "${_data}/phontab")
foreach(_file ${_rules})
  string(REGEX REPLACE "_rules$" "" _lang "${_file}")
  set(_inputs "")
  foreach(_part rules list listx extra emoji extra/listx)
    string(REPLACE "extra/" "extra/${_lang}_" _name "${_part}")
    if(NOT _part MATCHES "/")
      set(_name "${_lang}_${_part}")
    endif()
    if(EXISTS "${_dicts}/${_name}")
      list(APPEND _inputs "${_dicts}/${_name}")
    endif()
  endforeach()
  # --compile reads the lists from the current directory.
  set(_work "${CMAKE_BINARY_DIR}/dictsource/${_lang}")
  file(MAKE_DIRECTORY "${_work}")
  add_custom_command(OUTPUT "${_data}/${_lang}_dict"
    COMMAND ${CMAKE_COMMAND} -E copy ${_inputs} "${_work}"
    COMMAND ${_run} --compile=${_lang} >/dev/null
    WORKING_DIRECTORY "${_work}"
    DEPENDS ${_program_dep} "${_data}/phontab" ${_inputs}
    COMMENT "Compiling eSpeak NG's ${_lang} dictionary")
  list(APPEND _outputs "${_data}/${_lang}_dict")
endforeach()

file(GLOB _tables RELATIVE "${_phsource}/mbrola" "${_phsource}/mbrola/*")
foreach(_table ${_tables})
  add_custom_command(OUTPUT "${_data}/mbrola_ph/${_table}_phtrans"
    COMMAND ${_run} "--compile-mbrola=${_phsource}/mbrola/${_table}" >/dev/null
    DEPENDS ${_program_dep} "${_data}/phontab" "${_phsource}/mbrola/${_table}"
    COMMENT "Compiling eSpeak NG's MBROLA table ${_table}")
  list(APPEND _outputs "${_data}/mbrola_ph/${_table}_phtrans")
endforeach()

add_custom_target(vyn_espeak_data ALL
  COMMAND ${CMAKE_COMMAND} "-DDATA=${_data}" "-DDICTSOURCE=${_dicts}"
    "-DMBROLA_TABLES=${_phsource}/mbrola"
    -P "${CMAKE_CURRENT_LIST_DIR}/check-espeak-data.cmake"
  DEPENDS ${_outputs}
  COMMENT "Checking that every dictionary and MBROLA table is compiled")
