# tonelark_add_module_folders(): adds every sub-folder of the calling folder that brings its own
# CMakeLists.txt, in name order, so a new module needs no edit of its parent.
function(tonelark_add_module_folders)
  file(GLOB _module_lists LIST_DIRECTORIES false RELATIVE ${CMAKE_CURRENT_SOURCE_DIR}
       ${CMAKE_CURRENT_SOURCE_DIR}/*/CMakeLists.txt)
  list(SORT _module_lists)
  foreach(_list ${_module_lists})
    get_filename_component(_dir ${_list} DIRECTORY)
    add_subdirectory(${_dir})
  endforeach()
endfunction()
