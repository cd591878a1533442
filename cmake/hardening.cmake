# Extra checks that prove bad input gets a defined answer:
#   - the soak: a day of polling in virtual time (CTest label "soak");
#   - the fuzz targets: replayed over their seed corpus and past findings with
#     any compiler (CTest label "fuzz"), and built for libFuzzer with clang.
# scripts/hardening.sh builds all of this again under ASan and UBSan and runs
# the fuzzers for a bounded time.

if(WIN32 OR NOT (ORVA_BUILD_TESTS AND BUILD_TESTING))
  return()
endif()

set(ORVA_FUZZ_TARGETS weight_path poll_cycle property_bag number_text split_frames terminal_line)
# The Linux hosts' property file loader, when the Qt runtime is in this build.
# Only the loader itself is compiled for it, not the rest of the Qt seams.
if(TARGET orva_qt)
  add_library(orva_fuzzed_property_file OBJECT ${CMAKE_CURRENT_LIST_DIR}/../hosts/property_file.cpp
    ${CMAKE_CURRENT_LIST_DIR}/../hosts/durable_file.cpp ${CMAKE_CURRENT_LIST_DIR}/../hosts/keyed_text.cpp)
  target_link_libraries(orva_fuzzed_property_file PUBLIC orva_core Qt6::Core)
  list(APPEND ORVA_FUZZ_TARGETS property_file)
  set(ORVA_FUZZ_LIBS_property_file orva_fuzzed_property_file)
endif()
set(ORVA_FUZZ_DIR ${CMAKE_CURRENT_LIST_DIR}/../fuzz)
get_filename_component(ORVA_FUZZ_DIR ${ORVA_FUZZ_DIR} ABSOLUTE)

# --- soak in virtual time ---
find_package(GTest REQUIRED)
add_executable(orva_soak_tests ${CMAKE_CURRENT_LIST_DIR}/../tests/soak/soak_test.cpp)
target_link_libraries(orva_soak_tests PRIVATE orva_core orva_virtual GTest::gtest GTest::gtest_main)
orva_warnings(orva_soak_tests)
add_test(NAME soak.day_of_polling COMMAND orva_soak_tests)
set_tests_properties(soak.day_of_polling PROPERTIES LABELS soak TIMEOUT 600)

# --- fuzz targets ---
foreach(target IN LISTS ORVA_FUZZ_TARGETS)
  # The harness with a plain main that replays stored inputs.
  add_executable(orva_fuzz_replay_${target}
    ${ORVA_FUZZ_DIR}/${target}_fuzzer.cpp ${ORVA_FUZZ_DIR}/replay_main.cpp)
  target_link_libraries(orva_fuzz_replay_${target} PRIVATE orva_core orva_virtual ${ORVA_FUZZ_LIBS_${target}})
  orva_warnings(orva_fuzz_replay_${target})
  add_test(NAME fuzz.replay.${target}
    COMMAND orva_fuzz_replay_${target} ${ORVA_FUZZ_DIR}/corpus/${target} ${ORVA_FUZZ_DIR}/regressions/${target})
  set_tests_properties(fuzz.replay.${target} PROPERTIES LABELS fuzz)

  # The harness under libFuzzer, for the bounded runs of scripts/hardening.sh.
  if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    add_executable(orva_fuzz_${target} ${ORVA_FUZZ_DIR}/${target}_fuzzer.cpp)
    target_link_libraries(orva_fuzz_${target} PRIVATE orva_core orva_virtual ${ORVA_FUZZ_LIBS_${target}})
    target_compile_options(orva_fuzz_${target} PRIVATE -fsanitize=fuzzer,address,undefined)
    target_link_options(orva_fuzz_${target} PRIVATE -fsanitize=fuzzer,address,undefined)
    orva_warnings(orva_fuzz_${target})
  endif()
endforeach()
# For scripts/hardening.sh: which targets this build has, each with its seed
# corpus: the ones above from fuzz/, and those other parts registered in the
# global property ORVA_FUZZ_EXTRA ("name corpus-dir", e.g. the service's).
set(_orva_fuzz_lines "")
foreach(target IN LISTS ORVA_FUZZ_TARGETS)
  list(APPEND _orva_fuzz_lines "${target} fuzz/corpus/${target}")
endforeach()
get_property(_orva_fuzz_extra GLOBAL PROPERTY ORVA_FUZZ_EXTRA)
list(APPEND _orva_fuzz_lines ${_orva_fuzz_extra})
string(REPLACE ";" "\n" _orva_fuzz_list "${_orva_fuzz_lines}")
file(WRITE ${CMAKE_BINARY_DIR}/fuzz-targets.txt "${_orva_fuzz_list}\n")
