# Every fuzz/fuzz_<name>.cpp also builds with the normal compiler as
# replay_<name>, which feeds it every file of fuzz/corpus/<name>/ (the seeds
# and the crash inputs kept there): a unit test, so `make test` replays them
# on the normal, ASan and TSan builds.
file(GLOB replay_sources CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/fuzz/fuzz_*.cpp)
corvane_all_libraries(replay_libs)
foreach(source IN LISTS replay_sources)
  get_filename_component(target ${source} NAME_WE)
  string(REGEX REPLACE "^fuzz_" "" name ${target})
  add_executable(replay_${name} ${source} ${PROJECT_SOURCE_DIR}/fuzz/replay_main.cpp)
  target_include_directories(replay_${name} PRIVATE ${PROJECT_SOURCE_DIR}/src)
  target_link_libraries(replay_${name} PRIVATE ${replay_libs})
  add_test(NAME replay_${name} COMMAND replay_${name} ${PROJECT_SOURCE_DIR}/fuzz/corpus/${name})
  set_tests_properties(replay_${name} PROPERTIES LABELS unit)
endforeach()
