# cmake -DMANDOC=<mandoc> -DPAGE=<page> -P lint_page.cmake
# Fails on any message of `mandoc -T lint -W warning`, whatever its exit
# status says.
if(NOT MANDOC)
  message(FATAL_ERROR "mandoc is not installed (scripts/install-deps installs it)")
endif()
execute_process(COMMAND ${MANDOC} -T lint -W warning ${PAGE}
                RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(NOT status EQUAL 0 OR NOT out STREQUAL "")
  message(FATAL_ERROR "mandoc -T lint -W warning ${PAGE} (status ${status}):\n${out}")
endif()
