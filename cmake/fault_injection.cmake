# Fault injection on real devices: a control on real Qt timers against the
# terminal simulator on pseudo-terminals, with the line pulled, refused, held
# by another process and flooded. The whole run takes about a minute and a
# half, so it has its own label ("faults") and stays out of the quick
# "integration" set.
#
# Used from tests/faults/CMakeLists.txt, which the Linux runtime adds when Qt
# 6 is found: it needs the Qt serial port, the simulator and GoogleTest.

find_package(GTest REQUIRED)
include(GoogleTest)

function(orva_fault_tests target)
  add_executable(${target} ${ARGN})
  target_link_libraries(${target} PRIVATE orva_core orva_qt orva_sim orva_virtual GTest::gtest)
  orva_warnings(${target})
  # Each test case is its own CTest test, so one that hangs is named; the
  # hundred unplug cycles alone take about a minute. The tests bound their
  # waits by polls counted, so the timeout only catches a hang: well above
  # what a loaded machine takes.
  gtest_discover_tests(${target}
    PROPERTIES LABELS faults TIMEOUT 600
    DISCOVERY_TIMEOUT 30)
endfunction()
