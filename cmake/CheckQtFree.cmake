# The test that the Qt-free targets stay Qt-free: cmake -DCLOSURES=file -P CheckQtFree.cmake
# CLOSURES is the file vireo_write_link_closures (cmake/VireoQtFree.cmake) wrote at configure
# time; CLOSURES.binaries lists the built executables and shared libraries among them. Fails
# when a closure names Qt, or when a binary needs a Qt library, directly or through another
# shared library.

if(NOT CLOSURES OR NOT EXISTS "${CLOSURES}")
  message(FATAL_ERROR "CheckQtFree: no closure file '${CLOSURES}'; configure again")
endif()

# Qt's CMake targets (Qt6::Core), its libraries (libQt6Core.so.6, -lQt6Widgets) and its
# frameworks by path.
set(qt_pattern "(^|[^A-Za-z0-9_])(Qt[0-9]*::|libQt[0-9]|-lQt[0-9]|Qt[0-9]+(Core|Gui|Widgets|Network|Test|DBus|OpenGL)([^A-Za-z]|$))")

set(failures "")
file(STRINGS "${CLOSURES}" lines)
list(LENGTH lines target_count)
foreach(line IN LISTS lines)
  string(REGEX MATCH "^([^:]+): (.*)$" matched "${line}")
  set(target "${CMAKE_MATCH_1}")
  string(REPLACE "; " ";" pairs "${CMAKE_MATCH_2}")
  foreach(pair IN LISTS pairs)
    string(REGEX REPLACE " <- .*$" "" item "${pair}")
    if(item MATCHES "${qt_pattern}")
      # The chain from the target down to the Qt item, for the message.
      set(chain "${item}")
      set(current "${pair}")
      while(current MATCHES " <- (.*)$")
        set(parent "${CMAKE_MATCH_1}")
        string(PREPEND chain "${parent} -> ")
        set(current "")
        foreach(other IN LISTS pairs)
          if(other MATCHES "^(.*) <- " AND CMAKE_MATCH_1 STREQUAL parent)
            set(current "${other}")
          endif()
        endforeach()
      endwhile()
      list(APPEND failures "${target} links Qt: ${chain}")
    endif()
  endforeach()
endforeach()

set(binary_count 0)
if(EXISTS "${CLOSURES}.binaries")
  file(STRINGS "${CLOSURES}.binaries" binaries)
  foreach(binary IN LISTS binaries)
    if(NOT EXISTS "${binary}")
      list(APPEND failures "${binary} is not built")
      continue()
    endif()
    math(EXPR binary_count "${binary_count} + 1")
    if(binary MATCHES "\\.so(\\.[0-9]+)*$")
      set(kind LIBRARIES)
    else()
      set(kind EXECUTABLES)
    endif()
    file(GET_RUNTIME_DEPENDENCIES
         RESOLVED_DEPENDENCIES_VAR resolved
         UNRESOLVED_DEPENDENCIES_VAR unresolved
         ${kind} "${binary}")
    foreach(library IN LISTS resolved unresolved)
      get_filename_component(name "${library}" NAME)
      if(name MATCHES "${qt_pattern}")
        list(APPEND failures "${binary} needs ${library}")
      endif()
    endforeach()
  endforeach()
endif()

if(failures)
  list(JOIN failures "\n  " text)
  message(FATAL_ERROR "Qt-free targets link Qt:\n  ${text}")
endif()
message(STATUS "${target_count} Qt-free targets and ${binary_count} of their binaries link no Qt")
