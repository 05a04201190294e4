# cmake -DBUILD_DIR=<build> -DPREFIX=<folder> -P InstallCheck.cmake: installs the
# build into PREFIX and checks the files a user expects there.
file(REMOVE_RECURSE ${PREFIX})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${PREFIX}
                RESULT_VARIABLE status OUTPUT_QUIET)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "cmake --install failed with ${status}")
endif()
foreach(file bin/morv3d share/man/man1/morv3d.1 share/doc/morv3d/README.md)
  if(NOT EXISTS ${PREFIX}/${file})
    message(FATAL_ERROR "${file} is not installed")
  endif()
endforeach()
execute_process(COMMAND ${PREFIX}/bin/morv3d OUTPUT_VARIABLE banner)
if(NOT banner MATCHES "^Morv3D Converter")
  message(FATAL_ERROR "the installed program printed: ${banner}")
endif()
file(REMOVE_RECURSE ${PREFIX})
