# cmake -DBUILD_DIR=<build> -DSOURCE_DIR=<tree> -DROOT=<scratch dir> -DSYSTEM=<name>
#       -DSYSTEMD_UNIT=<ON|OFF> -DDIRS=<bin|sbin|sysconf|man|dataroot|doc> -P install_layout.cmake
# Installs the build tree under a scratch prefix and checks that exactly the
# files of this system's layout are there, that the programs run from there,
# and that the pages and the sample configuration are the ones of the tree.

if(SYSTEM STREQUAL "FreeBSD")
  set(default_dirs "bin|sbin|etc|man|share|share/doc/corvane")
  set(expected
      bin/corvane-check
      etc/corvane/corvane.conf.sample
      etc/rc.d/corvane
      man/man1/corvane-check.1
      man/man5/corvane.conf.5
      man/man8/corvane.8
      sbin/corvane
      share/examples/corvane/event_subscriber.py)
  set(copies man/man8/corvane.8 man/corvane.8 man/man5/corvane.conf.5 man/corvane.conf.5
      man/man1/corvane-check.1 man/corvane-check.1
      etc/corvane/corvane.conf.sample etc/corvane.conf.example)
  set(executables etc/rc.d/corvane share/examples/corvane/event_subscriber.py)
else()
  set(default_dirs "bin|sbin|etc|share/man|share|share/doc/corvane")
  set(expected
      bin/corvane-check
      etc/corvane/corvane.conf.example
      sbin/corvane
      share/doc/corvane/event_subscriber.py
      share/man/man1/corvane-check.1
      share/man/man5/corvane.conf.5
      share/man/man8/corvane.8)
  if(SYSTEMD_UNIT)
    list(APPEND expected lib/systemd/system/corvane.service)
  endif()
  set(copies share/man/man8/corvane.8 man/corvane.8 share/man/man5/corvane.conf.5
      man/corvane.conf.5 share/man/man1/corvane-check.1 man/corvane-check.1
      etc/corvane/corvane.conf.example etc/corvane.conf.example)
  set(executables share/doc/corvane/event_subscriber.py)
endif()

# A tree configured for other directories (a package build for /usr, say)
# may install outside any scratch prefix: it is not installed here.
if(NOT DIRS STREQUAL default_dirs)
  message("install_layout skipped: the tree installs to ${DIRS}, not ${default_dirs}")
  return()
endif()

set(problems "")
macro(problem text)
  string(APPEND problems "${text}\n")
endmacro()

file(REMOVE_RECURSE ${ROOT})
unset(ENV{DESTDIR})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${ROOT}
                RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(NOT status EQUAL 0)
  problem("cmake --install failed (status ${status}):\n${out}")
endif()

file(GLOB_RECURSE found LIST_DIRECTORIES false RELATIVE ${ROOT} ${ROOT}/*)
list(SORT found)
list(SORT expected)
if(NOT found STREQUAL expected)
  set(missing ${expected})
  if(found)
    list(REMOVE_ITEM missing ${found})
  endif()
  set(extra ${found})
  list(REMOVE_ITEM extra ${expected})
  problem("installed files differ; missing: ${missing}; not expected: ${extra}")
endif()

while(copies)
  list(POP_FRONT copies installed source)
  if(EXISTS ${ROOT}/${installed})
    execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files ${ROOT}/${installed}
                            ${SOURCE_DIR}/${source} RESULT_VARIABLE differ)
    if(NOT differ EQUAL 0)
      problem("${installed} is not a copy of ${source}")
    endif()
  endif()
endwhile()

foreach(file IN LISTS executables)
  execute_process(COMMAND test -x ${ROOT}/${file} RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    problem("${file} is not executable")
  endif()
endforeach()
execute_process(COMMAND sh -n ${SOURCE_DIR}/etc/rc.d/corvane RESULT_VARIABLE status
                ERROR_VARIABLE out)
if(NOT status EQUAL 0)
  problem("etc/rc.d/corvane is not valid sh:\n${out}")
endif()

# The installed programs run from their new place.
if(EXISTS ${ROOT}/bin/corvane-check)
  execute_process(COMMAND ${ROOT}/bin/corvane-check -h RESULT_VARIABLE status
                  OUTPUT_VARIABLE out ERROR_VARIABLE err TIMEOUT 30)
  if(NOT status EQUAL 0 OR NOT out MATCHES "^Usage: corvane-check \\[options\\]\n")
    problem("bin/corvane-check -h: status ${status}, output:\n${out}${err}")
  endif()
endif()
if(EXISTS ${ROOT}/sbin/corvane)
  execute_process(COMMAND ${ROOT}/sbin/corvane RESULT_VARIABLE status
                  OUTPUT_VARIABLE out ERROR_VARIABLE err TIMEOUT 30)
  if(NOT status EQUAL 1 OR NOT err MATCHES "usage: corvane -c <config-file>\n")
    problem("sbin/corvane without arguments: status ${status}, standard error:\n${err}")
  endif()
endif()

file(REMOVE_RECURSE ${ROOT})
if(problems)
  message(FATAL_ERROR "${problems}")
endif()
