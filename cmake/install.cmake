# What cmake --install puts in place: the headers, the two static libraries, a CMake package
# (find_package(vostrel CONFIG) gives vostrel::vostrel) and vostrel.pc. Tests, benchmarks, fuzz
# targets and the constant-time harness stay in the build tree.
include(CMakePackageConfigHelpers)

set(VOSTREL_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/vostrel)

install(DIRECTORY ${PROJECT_SOURCE_DIR}/core/include/
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
        FILES_MATCHING PATTERN "*.hpp")
install(TARGETS vostrel mlkem EXPORT vostrel-targets
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(EXPORT vostrel-targets NAMESPACE vostrel:: DESTINATION ${VOSTREL_CMAKE_DIR})

configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/vostrel-config.cmake.in
                              ${PROJECT_BINARY_DIR}/vostrel-config.cmake
                              INSTALL_DESTINATION ${VOSTREL_CMAKE_DIR})
# Before 1.0 a minor version may break the interface.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/vostrel-config-version.cmake
                                 COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/vostrel-config.cmake
              ${PROJECT_BINARY_DIR}/vostrel-config-version.cmake
        DESTINATION ${VOSTREL_CMAKE_DIR})

# Paths relative to the .pc file's own place, so that cmake --install --prefix DIR stays right.
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}" OR IS_ABSOLUTE "${CMAKE_INSTALL_INCLUDEDIR}")
  set(VOSTREL_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
  set(VOSTREL_PC_LIBDIR "${CMAKE_INSTALL_FULL_LIBDIR}")
  set(VOSTREL_PC_INCLUDEDIR "${CMAKE_INSTALL_FULL_INCLUDEDIR}")
else()
  file(RELATIVE_PATH up "/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/")
  string(REGEX REPLACE "/$" "" up "${up}")
  set(VOSTREL_PC_PREFIX "\${pcfiledir}/${up}")
  set(VOSTREL_PC_LIBDIR "\${prefix}/${CMAKE_INSTALL_LIBDIR}")
  set(VOSTREL_PC_INCLUDEDIR "\${prefix}/${CMAKE_INSTALL_INCLUDEDIR}")
endif()
get_target_property(VOSTREL_PC_MLKEM_NAME mlkem OUTPUT_NAME)
# Boost has no .pc file of its own: the directory of its headers, which the relay's header
# includes, goes into Cflags unless the compiler searches it anyway.
get_target_property(VOSTREL_BOOST_INCLUDE_DIRS Boost::headers INTERFACE_INCLUDE_DIRECTORIES)
set(VOSTREL_PC_BOOST_CFLAGS "")
foreach(dir IN LISTS VOSTREL_BOOST_INCLUDE_DIRS)
  if(NOT dir IN_LIST CMAKE_CXX_IMPLICIT_INCLUDE_DIRECTORIES)
    string(APPEND VOSTREL_PC_BOOST_CFLAGS " -I${dir}")
  endif()
endforeach()
configure_file(${CMAKE_CURRENT_LIST_DIR}/vostrel.pc.in ${PROJECT_BINARY_DIR}/vostrel.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/vostrel.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
