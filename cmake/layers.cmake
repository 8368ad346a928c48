# The program is built as a stack of libraries, one per folder, each allowed to see only the
# layers below it:
#
#   foundation -> disk -> store -> signatures -> fat, ntfs, ext, carving -> engine -> cli, ui
#
# A layer's headers are not reached through the source tree. Each layer gets an include folder
# in the build tree holding links to its own headers only, and a target sees the include
# folders of the layers it links and of nothing else. An #include of a header from a layer
# above, or from a sibling it does not link, therefore fails to compile.

set(FERROWEN_LAYER_ROOT ${CMAKE_BINARY_DIR}/layers)

# An include folder holding links to the given headers only.
function(ferrowen_link_headers include_dir)
  file(REMOVE_RECURSE ${include_dir})
  foreach(header IN LISTS ARGN)
    get_filename_component(folder ${include_dir}/${header} DIRECTORY)
    file(MAKE_DIRECTORY ${folder})
    file(CREATE_LINK ${PROJECT_SOURCE_DIR}/${header} ${include_dir}/${header} SYMBOLIC)
  endforeach()
endfunction()

# ferrowen_layer(<target> SOURCES <files...> HEADERS <files...> [INTERNAL_HEADERS <files...>]
#                [PUBLIC <targets...>] [PRIVATE <targets...>])
# Headers are given with their paths relative to the top of the source tree, the way the code
# includes them ("fat/fast_fat_recovery.h"). Internal headers are seen by the layer's own
# sources and, through <target>_internals, by the tests; never by the layers above.
function(ferrowen_layer target)
  cmake_parse_arguments(LAYER "" "" "SOURCES;HEADERS;INTERNAL_HEADERS;PUBLIC;PRIVATE" ${ARGN})
  add_library(${target} STATIC ${LAYER_SOURCES})
  set(include_dir ${FERROWEN_LAYER_ROOT}/${target})
  ferrowen_link_headers(${include_dir} ${LAYER_HEADERS})
  target_include_directories(${target} PUBLIC ${include_dir})
  if(LAYER_INTERNAL_HEADERS)
    set(internal_dir ${FERROWEN_LAYER_ROOT}/${target}_internals)
    ferrowen_link_headers(${internal_dir} ${LAYER_INTERNAL_HEADERS})
    target_include_directories(${target} PRIVATE ${internal_dir})
    add_library(${target}_internals INTERFACE)
    target_include_directories(${target}_internals INTERFACE ${internal_dir})
  endif()
  target_link_libraries(${target} PUBLIC ${LAYER_PUBLIC} PRIVATE ${LAYER_PRIVATE})
  target_compile_options(${target} PRIVATE ${FERROWEN_WARNINGS})
endfunction()

# The headers of one folder, relative to the top of the source tree.
function(ferrowen_headers_of folder out)
  file(GLOB headers CONFIGURE_DEPENDS RELATIVE ${PROJECT_SOURCE_DIR}
       ${PROJECT_SOURCE_DIR}/${folder}/*.h)
  set(${out} ${headers} PARENT_SCOPE)
endfunction()

# An executable's own headers, reachable from its sources only.
function(ferrowen_own_headers target folder)
  ferrowen_headers_of(${folder} headers)
  ferrowen_link_headers(${FERROWEN_LAYER_ROOT}/${target} ${headers})
  target_include_directories(${target} PRIVATE ${FERROWEN_LAYER_ROOT}/${target})
endfunction()
