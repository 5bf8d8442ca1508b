# Each target publishes only its own folder:
#
#   vireo_include_root(target folder)
#
# makes ${CMAKE_BINARY_DIR}/include/<folder>/<folder> a symbolic link to
# ${CMAKE_SOURCE_DIR}/<folder> and adds ${CMAKE_BINARY_DIR}/include/<folder> to the target's
# include directories: PUBLIC for a library, INTERFACE for a header-only one, PRIVATE for a
# program. Headers keep their spelling ("meter/frame.h"), and a file reaches the headers of
# another folder only when its target links that folder's library, directly or through the
# libraries it links. Several targets may publish the same folder.
function(vireo_include_root target folder)
  set(source ${CMAKE_SOURCE_DIR}/${folder})
  set(root ${CMAKE_BINARY_DIR}/include/${folder})
  set(link ${root}/${folder})
  if(NOT IS_DIRECTORY ${source})
    message(FATAL_ERROR "vireo_include_root: ${target}: there is no folder ${source}")
  endif()
  # Made at the first configure; a link to another source tree (a build folder reused for
  # another checkout) is made again.
  set(current "")
  if(IS_SYMLINK ${link})
    file(READ_SYMLINK ${link} current)
  elseif(EXISTS ${link})
    message(FATAL_ERROR "vireo_include_root: ${link} is not a symbolic link; remove it")
  endif()
  if(NOT current STREQUAL source)
    if(IS_SYMLINK ${link})
      file(REMOVE ${link})
    endif()
    file(MAKE_DIRECTORY ${root})
    file(CREATE_LINK ${source} ${link} SYMBOLIC)
  endif()

  get_target_property(type ${target} TYPE)
  if(type STREQUAL "INTERFACE_LIBRARY")
    set(scope INTERFACE)
  elseif(type STREQUAL "EXECUTABLE")
    set(scope PRIVATE)
  else()
    set(scope PUBLIC)
  endif()
  target_include_directories(${target} ${scope} ${root})
endfunction()
