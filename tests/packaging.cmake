# Manual pages, install layout, Debian package and bash completion, each
# checked by one mode of packaging_test.sh; 77 from the script means a tool
# it needs is missing.
set(packaging_test bash ${CMAKE_CURRENT_SOURCE_DIR}/packaging_test.sh)

add_test(NAME Packaging.ManPagesLintCleanAndQuoteTheProgram
  COMMAND ${packaging_test} man ${PROJECT_SOURCE_DIR} $<TARGET_FILE:kelvoda>)
add_test(NAME Packaging.InstallIntoPrefix
  COMMAND ${packaging_test} install ${CMAKE_COMMAND} ${PROJECT_BINARY_DIR}
          ${PROJECT_SOURCE_DIR})
add_test(NAME Packaging.DebPackage
  COMMAND ${packaging_test} deb ${CMAKE_CPACK_COMMAND} ${PROJECT_BINARY_DIR}
          ${PROJECT_SOURCE_DIR})
add_test(NAME Packaging.BashCompletion
  COMMAND ${packaging_test} completion ${PROJECT_SOURCE_DIR})

set_tests_properties(
  Packaging.ManPagesLintCleanAndQuoteTheProgram Packaging.InstallIntoPrefix
  Packaging.DebPackage Packaging.BashCompletion
  PROPERTIES SKIP_RETURN_CODE 77)
# Both installs write install_manifest.txt into the build folder.
set_tests_properties(Packaging.InstallIntoPrefix Packaging.DebPackage
  PROPERTIES RESOURCE_LOCK kelvoda_install_manifest)
