# Each layer's library sees only its own folder and the folders of the layers
# it links, so an include that runs up a layer fails to build. The folder is
# reached through a link in the build tree: <build>/layers/<name>/<name>.
#   tw_layer(TARGET FOLDER)
function(tw_layer target folder)
  set(root "${CMAKE_BINARY_DIR}/layers/${folder}")
  file(MAKE_DIRECTORY "${root}")
  if(NOT EXISTS "${root}/${folder}")
    file(CREATE_LINK "${CMAKE_SOURCE_DIR}/${folder}" "${root}/${folder}" RESULT linked SYMBOLIC)
    if(NOT linked EQUAL 0)
      # No links on this file system: the whole tree, and the include check
      # among the tests is the only guard.
      message(WARNING "cannot link ${root}/${folder} (${linked}); layer includes not enforced")
      set(root "${CMAKE_SOURCE_DIR}")
    endif()
  endif()
  target_include_directories(${target} PUBLIC "${root}")
  target_link_libraries(${target} PRIVATE tw_options)
endfunction()
