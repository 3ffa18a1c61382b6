# Run at install time for a -dbgsym package (cmake/debian/packages.cmake):
# the debug information of each of `files` (binaries of the build tree, not
# stripped) into DESTDIR/PREFIX/lib/debug/.build-id/NN/REST.debug, where gdb
# finds it by the build ID that the stripped binary keeps.
foreach(file IN LISTS files)
  execute_process(COMMAND readelf -n ${file} OUTPUT_VARIABLE notes COMMAND_ERROR_IS_FATAL ANY)
  if(NOT notes MATCHES "Build ID: ([0-9a-f][0-9a-f])([0-9a-f]+)")
    message(FATAL_ERROR "${file} has no build ID")
  endif()
  set(dir $ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/lib/debug/.build-id/${CMAKE_MATCH_1})
  file(MAKE_DIRECTORY ${dir})
  execute_process(COMMAND objcopy --only-keep-debug --compress-debug-sections ${file}
                          ${dir}/${CMAKE_MATCH_2}.debug COMMAND_ERROR_IS_FATAL ANY)
  file(CHMOD ${dir}/${CMAKE_MATCH_2}.debug PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
endforeach()
