# Installation: the three libraries, their public headers, a CMake package
# (find_package(kiv CONFIG) giving kiv::svcquery, kiv::logsend and
# kiv::clientlog) and pkg-config files, all relative to the install prefix so
# that `cmake --install build --prefix DIR` works for any DIR.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(KIV_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/kiv
    CACHE STRING "Where the CMake package files go, relative to the prefix")

set_target_properties(kiv_svcquery PROPERTIES EXPORT_NAME svcquery)
set_target_properties(kiv_logsend PROPERTIES EXPORT_NAME logsend)
set_target_properties(kiv_clientlog PROPERTIES EXPORT_NAME clientlog)

install(TARGETS kiv_clientlog kiv_logsend kiv_svcquery
  EXPORT kivTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES
  ${PROJECT_SOURCE_DIR}/include/kiv_svcquery.h
  ${PROJECT_SOURCE_DIR}/include/kiv_logsend.h
  ${PROJECT_SOURCE_DIR}/include/kiv_version.h
  ${PROJECT_SOURCE_DIR}/include/kiv.hpp
  ${PROJECT_SOURCE_DIR}/clientlog/kiv_clientlog.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

install(EXPORT kivTargets NAMESPACE kiv:: DESTINATION ${KIV_INSTALL_CMAKEDIR})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/kivConfig.cmake.in
  ${PROJECT_BINARY_DIR}/package/kivConfig.cmake
  INSTALL_DESTINATION ${KIV_INSTALL_CMAKEDIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/package/kivConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES
  ${PROJECT_BINARY_DIR}/package/kivConfig.cmake
  ${PROJECT_BINARY_DIR}/package/kivConfigVersion.cmake
  DESTINATION ${KIV_INSTALL_CMAKEDIR})

# pkg-config files find the prefix from their own folder, so the installed
# tree can be moved as a whole.
set(KIV_PKGCONFIG_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
if(IS_ABSOLUTE "${KIV_PKGCONFIG_DIR}")
  set(KIV_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
else()
  file(RELATIVE_PATH KIV_PC_UP /prefix/${KIV_PKGCONFIG_DIR} /prefix)
  string(REGEX REPLACE "/$" "" KIV_PC_UP "${KIV_PC_UP}")
  set(KIV_PC_PREFIX "\${pcfiledir}/${KIV_PC_UP}")
endif()
foreach(dir LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${dir}}")
    set(KIV_PC_${dir} "${CMAKE_INSTALL_${dir}}")
  else()
    set(KIV_PC_${dir} "\${prefix}/${CMAKE_INSTALL_${dir}}")
  endif()
endforeach()

function(kiv_pkgconfig module library description requires)
  set(KIV_PC_NAME ${module})
  set(KIV_PC_LIBRARY ${library})
  set(KIV_PC_DESCRIPTION "${description}")
  set(KIV_PC_REQUIRES "${requires}")
  configure_file(${PROJECT_SOURCE_DIR}/cmake/kiv.pc.in
    ${PROJECT_BINARY_DIR}/package/${module}.pc @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/package/${module}.pc DESTINATION ${KIV_PKGCONFIG_DIR})
endfunction()

kiv_pkgconfig(kiv-clientlog kiv_clientlog
  "Message logger of the accelerator's client libraries" "")
kiv_pkgconfig(kiv-svcquery kiv_svcquery
  "Service queries of the accelerator's web service" "kiv-clientlog")
kiv_pkgconfig(kiv-logsend kiv_logsend
  "Event reports to the accelerator's log server" "kiv-clientlog")
