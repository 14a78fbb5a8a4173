# Each target sees only the headers of the modules it links. quillane_module_headers(<target>
# [<folder>...]) links the headers of each folder (a path from the repository root, without its
# subfolders; the current folder when none is named) into an include folder of the target's own,
# at their paths from the root ("platform/media/pixel_buffer.h"), and puts that folder on the
# target's include path: for those who link it too, unless the target is an executable. A file
# that includes a header of a module its target does not link then fails to build.
function(quillane_module_headers target)
  set(folders ${ARGN})
  if(NOT folders)
    file(RELATIVE_PATH folders ${PROJECT_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR})
  endif()
  set(root ${PROJECT_BINARY_DIR}/include/${target})
  file(REMOVE_RECURSE ${root})
  foreach(folder IN LISTS folders)
    file(GLOB headers CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/${folder}/*.h)
    file(MAKE_DIRECTORY ${root}/${folder})
    foreach(header IN LISTS headers)
      get_filename_component(name ${header} NAME)
      file(CREATE_LINK ${header} ${root}/${folder}/${name} SYMBOLIC)
    endforeach()
  endforeach()
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "EXECUTABLE")
    target_include_directories(${target} PRIVATE ${root})
  elseif(type STREQUAL "INTERFACE_LIBRARY")
    target_include_directories(${target} INTERFACE ${root})
  else()
    target_include_directories(${target} PUBLIC ${root})
  endif()
endfunction()
