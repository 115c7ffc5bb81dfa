# cmake -DDATA=... -DDICTSOURCE=... -DMBROLA_TABLES=... -P: fails unless
# every dictsource/*_rules has its compiled *_dict and every MBROLA table
# its mbrola_ph/*_phtrans.
set(_missing "")
file(GLOB _rules RELATIVE "${DICTSOURCE}" "${DICTSOURCE}/*_rules")
foreach(_file ${_rules})
  string(REGEX REPLACE "_rules$" "_dict" _dict "${_file}")
  if(NOT EXISTS "${DATA}/${_dict}")
    list(APPEND _missing "${_dict}")
  endif()
endforeach()
file(GLOB _tables RELATIVE "${MBROLA_TABLES}" "${MBROLA_TABLES}/*")
foreach(_table ${_tables})
  if(NOT EXISTS "${DATA}/mbrola_ph/${_table}_phtrans")
    list(APPEND _missing "mbrola_ph/${_table}_phtrans")
  endif()
endforeach()
file(GLOB _compiled RELATIVE "${DATA}" "${DATA}/*_dict")
list(LENGTH _rules _want)
list(LENGTH _compiled _have)
if(_missing OR NOT _want EQUAL _have)
  message(FATAL_ERROR "eSpeak NG data incomplete in ${DATA}: ${_want} "
    "dictionary sources, ${_have} dictionaries; missing: ${_missing}")
endif()
