# Run by CPack once it has made the packages (CPACK_POST_BUILD_SCRIPTS).
# CPack gives every package with a library under /usr/lib a postinst and a
# postrm that run ldconfig; the library packages have Debian's ldconfig
# trigger instead (cmake/debian/triggers), so those two scripts are taken out
# of each package that has the trigger, its files left as they are.
foreach(deb IN LISTS CPACK_PACKAGE_FILES)
  set(tree ${deb}.tree)
  file(REMOVE_RECURSE ${tree})
  execute_process(COMMAND dpkg-deb -R ${deb} ${tree} COMMAND_ERROR_IS_FATAL ANY)
  if(EXISTS ${tree}/DEBIAN/triggers)
    file(REMOVE ${tree}/DEBIAN/postinst ${tree}/DEBIAN/postrm)
    execute_process(COMMAND dpkg-deb --root-owner-group -Zgzip -b ${tree} ${deb}
                    OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
  endif()
  file(REMOVE_RECURSE ${tree})
endforeach()
