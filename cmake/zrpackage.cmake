# The Debian package (cpack -G DEB in a build configured with -DCMAKE_INSTALL_PREFIX=/usr): one package,
# zrregdll, holding what cmake --install installs, and what Debian asks of every package besides.
set(ZR_DEB_DOC ${CMAKE_INSTALL_DATADIR}/doc/zrregdll)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/debian/copyright DESTINATION ${ZR_DEB_DOC})
install(FILES ${CMAKE_CURRENT_LIST_DIR}/debian/changelog DESTINATION ${ZR_DEB_DOC})
# The README, which zrreg(1) points to for the library's interface and zrreg serve's JSON interface,
# compressed as Debian's policy has documentation (gzip -n: no name or time stamp, the same bytes
# from every build).
set(ZR_README_GZ ${CMAKE_CURRENT_BINARY_DIR}/README.md.gz)
add_custom_command(OUTPUT ${ZR_README_GZ}
  COMMAND sh -c "gzip -9nc \"$1\" >\"$2\"" sh ${PROJECT_SOURCE_DIR}/README.md ${ZR_README_GZ}
  DEPENDS ${PROJECT_SOURCE_DIR}/README.md
  COMMENT "Compressing README.md for the documentation directory"
  VERBATIM)
add_custom_target(zr_readme ALL DEPENDS ${ZR_README_GZ})
install(FILES ${ZR_README_GZ} DESTINATION ${ZR_DEB_DOC})

set(CPACK_PACKAGE_NAME zrregdll)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "zrregdll developers <zrregdll@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "registry programming interface on one plain text file")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "A part of the Windows registry programming interface
(wide-character calls that open, create, enumerate and delete keys and
read and write string and integer values) over one plain text registry
file, with the command-line tool zrreg, the C header, the C++ face
zrregdll.hpp, CMake and pkg-config files, and the Python module zrregdll.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://zrregdll.example.org/")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The shlibs file (hosts linked with libzrregdll.so.1 depend on this package) and the ldconfig
# trigger, which Debian has in place of the scripts calling ldconfig that CPack would write: ours do
# nothing, and so run in a scratch root too.
configure_file(${CMAKE_CURRENT_LIST_DIR}/debian/shlibs.in ${CMAKE_CURRENT_BINARY_DIR}/debian/shlibs @ONLY)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_BINARY_DIR}/debian/shlibs ${CMAKE_CURRENT_LIST_DIR}/debian/triggers
    ${CMAKE_CURRENT_LIST_DIR}/debian/postinst ${CMAKE_CURRENT_LIST_DIR}/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "python3")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
# Man pages and the changelog go compressed, as Debian's policy has them.
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/zrdeb-compress.cmake)
set(CPACK_GENERATOR DEB)
include(CPack)
