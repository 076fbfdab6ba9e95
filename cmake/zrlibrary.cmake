# The library that hosts load (libzrregdll.so, or zrregdll.dll with its fixed export
# table) built from the core, and its installation as a CMake and pkg-config package.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)
set(ZR_DLL_DIR ${PROJECT_SOURCE_DIR}/framewk/registry/DLL)

if(WIN32)
  add_library(zrregdll SHARED ${ZR_DLL_DIR}/zrregdll.def)
  target_link_libraries(zrregdll PRIVATE $<LINK_LIBRARY:WHOLE_ARCHIVE,zrregcore>)
  set_target_properties(zrregdll PROPERTIES PREFIX "" LINKER_LANGUAGE CXX)
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    # The entry point's 32-bit name is DllMain@12; the export table names it plainly.
    target_link_options(zrregdll PRIVATE -Wl,--enable-stdcall-fixup)
  endif()
else()
  # Linked after the core, so that its constructor runs after the core's initialisers.
  add_library(zrregattach STATIC ${ZR_DLL_DIR}/zrdllelf.cpp)
  target_include_directories(zrregattach PRIVATE ${ZR_DLL_DIR})
  add_library(zrregdll SHARED ${ZR_DLL_DIR}/zrregdll.map)
  target_link_libraries(zrregdll PRIVATE $<LINK_LIBRARY:WHOLE_ARCHIVE,zrregcore>
                                         $<LINK_LIBRARY:WHOLE_ARCHIVE,zrregattach>)
  # The version script keeps everything but the exported names local; -Bsymbolic binds the
  # library's own calls (the constructor's DllMain among them) to its own definitions.
  target_link_options(zrregdll PRIVATE -Wl,--version-script=${ZR_DLL_DIR}/zrregdll.map -Wl,-Bsymbolic)
  if(NOT ZR_SANITIZE AND NOT ZR_TSAN)
    target_link_options(zrregdll PRIVATE -Wl,--no-undefined)
  endif()
  set_target_properties(zrregdll PROPERTIES
    LINKER_LANGUAGE CXX
    LINK_DEPENDS ${ZR_DLL_DIR}/zrregdll.map
    VERSION ${PROJECT_VERSION}
    SOVERSION ${PROJECT_VERSION_MAJOR})
endif()
target_include_directories(zrregdll INTERFACE
  $<BUILD_INTERFACE:${ZR_DLL_DIR}>
  $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
# zrregdll.hpp needs C++17: a C++ host that links the target gets it (a C host is not touched).
target_compile_features(zrregdll INTERFACE cxx_std_17)

set(ZR_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/zrregdll)
install(TARGETS zrregdll EXPORT zrregdllTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# The public headers: the C header with its text helpers, and the C++ face with its parts.
set(ZR_PUBLIC_HEADERS zrregdll.h zrregtext.h zrregtypes.h zrregdll.hpp zrregdll_errors.hpp zrregdll_text.hpp
  zrregdll_messages.hpp zrregdll_values.hpp zrregdll_key.hpp zrregdll_ranges.hpp zrregdll_registry.hpp)
list(TRANSFORM ZR_PUBLIC_HEADERS PREPEND ${ZR_DLL_DIR}/)
install(FILES ${ZR_PUBLIC_HEADERS} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(EXPORT zrregdllTargets NAMESPACE zrregdll:: DESTINATION ${ZR_CMAKE_DIR})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/zrregdllConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/zrregdllConfig.cmake INSTALL_DESTINATION ${ZR_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/zrregdllConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/zrregdllConfig.cmake
              ${CMAKE_CURRENT_BINARY_DIR}/zrregdllConfigVersion.cmake
  DESTINATION ${ZR_CMAKE_DIR})
# The pkg-config file finds the prefix from its own place, so that --prefix is honoured.
file(RELATIVE_PATH ZR_PC_TO_PREFIX /p/${CMAKE_INSTALL_LIBDIR}/pkgconfig /p)
configure_file(${CMAKE_CURRENT_LIST_DIR}/zrregdll.pc.in ${CMAKE_CURRENT_BINARY_DIR}/zrregdll.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/zrregdll.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
