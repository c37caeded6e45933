# Debian package: ./dev.sh package (packaging/build-deb.sh), which builds with Debian's
# flags and a fixed time stamp; cpack -G DEB in any build folder also works.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME echo-daemon)
set(CPACK_PACKAGE_VENDOR "echo-daemon developers")
set(CPACK_PACKAGE_CONTACT "echo-daemon maintainers <maintainers@echo-daemon.example>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
execute_process(COMMAND dpkg --print-architecture OUTPUT_VARIABLE CPACK_DEBIAN_PACKAGE_ARCHITECTURE
  OUTPUT_STRIP_TRAILING_WHITESPACE)
# Install, upgrade and removal of the unit, as Debian's own helper does it for a unit
# that is neither enabled nor started on install.
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  ${CMAKE_CURRENT_LIST_DIR}/scripts/postinst
  ${CMAKE_CURRENT_LIST_DIR}/scripts/prerm
  ${CMAKE_CURRENT_LIST_DIR}/scripts/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# The summary line comes from the project's DESCRIPTION; CPack indents these lines and
# turns the empty one into the paragraph mark.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "echo-daemon listens on TCP port 80 and serves one client at a time: it
reads the first chunk of at most 64 bytes, sends exactly those bytes back
and closes the connection.

When a step fails, it pauses 3 seconds, names the step on the console and
re-executes itself with an advanced launch count, until the budget given
on its command line is spent. It links against libc alone, allocates
nothing on the heap, and comes with a systemd unit that runs it as a
dynamic user holding only the right to bind port 80.")
include(CPack)
