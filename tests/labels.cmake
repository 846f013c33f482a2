# Every test carries labels, so that a part of the suite can be chosen:
#   unit         in one process, seconds: `ctest -L unit`
#   integration  starts the simulator or another program, or an emulated USB device
#   gui          a Qt window (offscreen) or the desktop session
#   interop      other people's clients and tools: pyvisa, dpkg
#   root         needs root (port 111, namespaces, installing packages); skipped otherwise
#   netns        makes network namespaces of its own
#   slow         takes a minute or more
#
# A test folder calls fw_test_labels(<labels>) first: at the end of the
# folder, every test that it added without labels gets those. Tests found by
# gtest_discover_tests exist only once their program is built, so for them
# the labels are applied when ctest reads the folder, to each test whose
# properties name no LABELS: those fw_gtest_labels(<target> <labels>) gave
# the program, or else the folder's.

set(FW_LABELS_SCRIPT ${CMAKE_CURRENT_LIST_DIR}/label_defaults.cmake)

function(fw_test_labels)
  set_property(DIRECTORY PROPERTY FW_DEFAULT_LABELS "${ARGN}")
  cmake_language(DEFER CALL fw_apply_default_labels)
endfunction()

function(fw_gtest_labels target)
  list(JOIN ARGN "," labels)
  set_property(DIRECTORY APPEND PROPERTY FW_TARGET_LABELS "${target}=${labels}")
endfunction()

function(fw_apply_default_labels)
  get_property(defaults DIRECTORY PROPERTY FW_DEFAULT_LABELS)
  get_property(by_target DIRECTORY PROPERTY FW_TARGET_LABELS)
  get_property(tests DIRECTORY PROPERTY TESTS)
  foreach(test ${tests})
    get_test_property(${test} LABELS labels)
    if(NOT labels)
      set_tests_properties(${test} PROPERTIES LABELS "${defaults}")
    endif()
  endforeach()
  # Read by ctest after the discovered tests' own files (appended last).
  set(script ${CMAKE_CURRENT_BINARY_DIR}/fw_label_defaults.cmake)
  file(WRITE ${script}
       "set(FW_DEFAULT_LABELS \"${defaults}\")\n"
       "set(FW_TARGET_LABELS \"${by_target}\")\n"
       "set(FW_TESTS_DIR \"${CMAKE_CURRENT_BINARY_DIR}\")\n"
       "include(\"${FW_LABELS_SCRIPT}\")\n")
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${script})
endfunction()
