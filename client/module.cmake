# The Python extension module _murlo, built against Debian's interpreter (the one
# the tests and the demo run) and placed in build/client/, where tests find it.
if(EXISTS /usr/bin/python3 AND NOT Python3_EXECUTABLE)
  set(Python3_EXECUTABLE /usr/bin/python3)
endif()
find_package(Python3 REQUIRED COMPONENTS Interpreter Development.Module)

file(GLOB MURLO_MODULE_SOURCES CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/src/module/*.cpp)
Python3_add_library(_murlo MODULE WITH_SOABI ${MURLO_MODULE_SOURCES})
target_link_libraries(_murlo PRIVATE murlo_client_beat murlo_registry)
# Only the entry point is exported; everything else, the static libraries included, stays inside.
set_target_properties(_murlo PROPERTIES
  CXX_VISIBILITY_PRESET hidden
  VISIBILITY_INLINES_HIDDEN ON
  LIBRARY_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})
target_compile_options(_murlo PRIVATE -fvisibility=hidden)
set(MURLO_MODULE_EXPORTS ${CMAKE_CURRENT_BINARY_DIR}/murlo_module.map)
file(WRITE ${MURLO_MODULE_EXPORTS} "{ global: PyInit__murlo; local: *; };\n")
target_link_options(_murlo PRIVATE -Wl,--exclude-libs,ALL -Wl,--version-script=${MURLO_MODULE_EXPORTS})
