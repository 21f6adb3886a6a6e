# The release build (scripts/release): the Windows setup as it is handed to
# players. Stripped, and reproducible: the same sources give the same bytes in
# any folder at any time. Included after project(); the test builds (the
# presets) leave KELP_RELEASE off and keep their debug sections.
option(KELP_RELEASE "The release build: stripped and reproducible (scripts/release)" OFF)
if(NOT KELP_RELEASE)
  return()
endif()
if(NOT WIN32)
  message(FATAL_ERROR "KELP_RELEASE is for the Windows build (cmake/mingw-w64.cmake)")
endif()

# No build folder in the output: __FILE__ and any debug line information name
# files relative to the source tree.
add_compile_options("-ffile-prefix-map=${CMAKE_SOURCE_DIR}/=")

# -s: no symbols and no debug sections. The PE header's time stamp is the one
# field of a linked image that changes from one run to the next; leave it 0.
# The linker still fills in the header's checksum.
add_link_options(-s -Wl,--no-insert-timestamp)

# Static libraries without member dates, owners or modes (the D modifier), so
# the build's intermediate files are reproducible too, not only its product.
foreach(lang C CXX)
  set(CMAKE_${lang}_ARCHIVE_CREATE "<CMAKE_AR> qcD <TARGET> <LINK_FLAGS> <OBJECTS>")
  set(CMAKE_${lang}_ARCHIVE_APPEND "<CMAKE_AR> qD <TARGET> <LINK_FLAGS> <OBJECTS>")
  set(CMAKE_${lang}_ARCHIVE_FINISH "<CMAKE_RANLIB> -D <TARGET>")
endforeach()
