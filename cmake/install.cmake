# What `cmake --install` puts under the prefix:
#   bin/kelmsend
#   sbin/sendmail -> ../bin/kelmsend     (with -DKELMSEND_INSTALL_SENDMAIL_LINK=ON)
#   lib/libkelm_{outbox,mail,mime,net,sasl,oauth,dns,wait}.a
#   include/kelm/{outbox,mail,mime,net,sasl,oauth,dns,wait}/*.h     (included as "mail/send_mail.h")
#   lib/cmake/KelmMail/                  the package configuration
# An outside project writes find_package(KelmMail) and links KelmMail::mail
# (and KelmMail::outbox for the durable queue).
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(KELM_INSTALL_INCLUDEDIR ${CMAKE_INSTALL_INCLUDEDIR}/kelm)
set(KELM_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/KelmMail)

# Exported as KelmMail::outbox, KelmMail::mail, KelmMail::mime, KelmMail::net,
# KelmMail::sasl, KelmMail::oauth, KelmMail::dns and KelmMail::wait.
set_target_properties(kelm_outbox PROPERTIES EXPORT_NAME outbox)
set_target_properties(kelm_mail PROPERTIES EXPORT_NAME mail)
set_target_properties(kelm_mime PROPERTIES EXPORT_NAME mime)
set_target_properties(kelm_net PROPERTIES EXPORT_NAME net)
set_target_properties(kelm_sasl PROPERTIES EXPORT_NAME sasl)
set_target_properties(kelm_oauth PROPERTIES EXPORT_NAME oauth)
set_target_properties(kelm_dns PROPERTIES EXPORT_NAME dns)
set_target_properties(kelm_wait PROPERTIES EXPORT_NAME wait)

install(TARGETS kelm_outbox kelm_mail kelm_mime kelm_net kelm_sasl kelm_oauth kelm_dns kelm_wait
        EXPORT KelmMailTargets
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
        INCLUDES DESTINATION ${KELM_INSTALL_INCLUDEDIR})
install(TARGETS kelmsend RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# sbin/sendmail as a relative link to kelmsend, for the programs that hand
# their mail to the machine's sendmail (kelmsend knows the name and runs in
# sendmail mode). Off by default: it takes the place of an installed mail
# system's own sendmail. The choice can also be made when installing:
#   cmake -DKELMSEND_INSTALL_SENDMAIL_LINK=ON -P build/cmake_install.cmake
option(KELMSEND_INSTALL_SENDMAIL_LINK "Install sbin/sendmail as a link to kelmsend" OFF)
file(RELATIVE_PATH KELM_SENDMAIL_TARGET /root/${CMAKE_INSTALL_SBINDIR}
     /root/${CMAKE_INSTALL_BINDIR}/kelmsend)
install(CODE "
    if(NOT DEFINED KELMSEND_INSTALL_SENDMAIL_LINK)
        set(KELMSEND_INSTALL_SENDMAIL_LINK ${KELMSEND_INSTALL_SENDMAIL_LINK})
    endif()
    if(KELMSEND_INSTALL_SENDMAIL_LINK)
        set(link \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_SBINDIR}/sendmail\")
        message(STATUS \"Installing: \${link} -> ${KELM_SENDMAIL_TARGET}\")
        file(MAKE_DIRECTORY \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_SBINDIR}\")
        file(CREATE_LINK ${KELM_SENDMAIL_TARGET} \"\${link}\" SYMBOLIC)
    endif()
")

# Every header of the libraries: the component's header includes the socket
# adapter's, and its methods hand out the composition core's types.
foreach(layer outbox mail mime net sasl oauth dns wait)
    file(GLOB headers CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/${layer}/*.h)
    install(FILES ${headers} DESTINATION ${KELM_INSTALL_INCLUDEDIR}/${layer})
endforeach()

install(EXPORT KelmMailTargets
        NAMESPACE KelmMail::
        DESTINATION ${KELM_INSTALL_CMAKEDIR})
configure_package_config_file(
    ${CMAKE_CURRENT_LIST_DIR}/KelmMailConfig.cmake.in
    ${PROJECT_BINARY_DIR}/KelmMailConfig.cmake
    INSTALL_DESTINATION ${KELM_INSTALL_CMAKEDIR})
write_basic_package_version_file(
    ${PROJECT_BINARY_DIR}/KelmMailConfigVersion.cmake
    VERSION ${PROJECT_VERSION}
    COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/KelmMailConfig.cmake
              ${PROJECT_BINARY_DIR}/KelmMailConfigVersion.cmake
        DESTINATION ${KELM_INSTALL_CMAKEDIR})

# The component's headers use C++20; consumers compile them with it.
foreach(target kelm_outbox kelm_mail kelm_mime kelm_net kelm_sasl kelm_oauth kelm_dns kelm_wait)
    set_property(TARGET ${target} APPEND PROPERTY INTERFACE_COMPILE_FEATURES cxx_std_20)
endforeach()
