# cmake -DSOURCE_DIR=<top of the tree> -P check_vocabulary.cmake
# The key list of corvane.conf(5) is the configuration's key table, and the
# option list of corvane-check(1) is the tool's option table: a key or option
# added, renamed or dropped in the code without the page fails here.

# Names in double quotes between `start` and the next "};" of a source file.
function(quoted_names file start out)
  file(READ ${file} text)
  string(FIND "${text}" "${start}" at)
  if(at LESS 0)
    message(FATAL_ERROR "${file}: no \"${start}\"")
  endif()
  string(SUBSTRING "${text}" ${at} -1 text)
  string(FIND "${text}" "};" end)
  string(SUBSTRING "${text}" 0 ${end} text)
  string(REGEX MATCHALL "\"[^\"]+\"" quoted "${text}")
  set(names)
  foreach(q IN LISTS quoted)
    string(REPLACE "\"" "" name "${q}")
    list(APPEND names "${name}")
  endforeach()
  set(${out} ${names} PARENT_SCOPE)
endfunction()

# The first argument of every `.It` line whose macro is `macro`, unescaped and
# written as it renders (`Fl` puts a "-" before its argument).
function(listed_names page macro rendered_prefix out)
  file(STRINGS ${page} lines REGEX "^\\.It ${macro} ")
  set(names)
  foreach(line IN LISTS lines)
    string(REGEX REPLACE "^\\.It ${macro} ([^ ]+).*" "\\1" name "${line}")
    string(REPLACE "\\-" "-" name "${name}")
    list(APPEND names "${rendered_prefix}${name}")
  endforeach()
  set(${out} ${names} PARENT_SCOPE)
endfunction()

set(problems "")
function(compare what code page)
  set(missing ${code})
  list(REMOVE_ITEM missing ${page})
  set(extra ${page})
  list(REMOVE_ITEM extra ${code})
  if(missing OR extra)
    set(problems "${problems}${what}: not on the page: ${missing}; on the page only: ${extra}\n"
        PARENT_SCOPE)
  endif()
endfunction()

quoted_names(${SOURCE_DIR}/src/config/config_keys.cpp "k_global_keys" global_keys)
quoted_names(${SOURCE_DIR}/src/config/config_keys.cpp "k_listener_keys" listener_keys)
listed_names(${SOURCE_DIR}/man/corvane.conf.5 Ic "" page_keys)
compare("corvane.conf(5) keys" "${global_keys};${listener_keys}" "${page_keys}")

quoted_names(${SOURCE_DIR}/src/check/options.cpp "k_options" option_table)
list(FILTER option_table INCLUDE REGEX "^-")
list(FILTER option_table EXCLUDE REGEX " ")
listed_names(${SOURCE_DIR}/man/corvane-check.1 Fl "-" page_options)
list(REMOVE_ITEM page_options -h)
compare("corvane-check(1) options" "${option_table}" "${page_options}")

if(problems)
  message(FATAL_ERROR "${problems}")
endif()
