# cmake -DBUILD_DIR=... -DPREFIX=... [-DSYSTEMD_ANALYZE=...] -P CheckInstall.cmake
# Each package's component in turn, as cpack installs them.
file(REMOVE_RECURSE ${PREFIX})
foreach(component uploader service)
    execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${PREFIX} --component ${component}
                    RESULT_VARIABLE rc OUTPUT_QUIET)
    if(NOT rc EQUAL 0)
        message(FATAL_ERROR "cmake --install --component ${component} failed: ${rc}")
    endif()
endforeach()

set(app_id org.tarnwick.Uploader)
set(expected
    bin/tarnwick-uploader
    share/applications/${app_id}.desktop
    share/metainfo/${app_id}.metainfo.xml
    share/icons/hicolor/scalable/apps/${app_id}.svg
    share/doc/tarnwick-uploader/copyright
    share/man/man1/tarnwick-uploader.1.gz
    share/man/man1/tarnwick-service.1.gz
    bin/tarnwick-service
    lib/systemd/system/tarnwick-service.service
    share/doc/tarnwick-service/copyright)
foreach(size 16 24 32 48 128)
    list(APPEND expected share/icons/hicolor/${size}x${size}/apps/${app_id}.png)
endforeach()
foreach(file IN LISTS expected)
    if(NOT EXISTS ${PREFIX}/${file})
        message(FATAL_ERROR "not installed: ${file}")
    endif()
endforeach()

# One program binary each, and nothing beside them: no module, no library.
file(GLOB_RECURSE installed LIST_DIRECTORIES false RELATIVE ${PREFIX} ${PREFIX}/*)
file(GLOB programs LIST_DIRECTORIES false RELATIVE ${PREFIX} ${PREFIX}/bin/*)
if(NOT programs STREQUAL "bin/tarnwick-service;bin/tarnwick-uploader")
    message(FATAL_ERROR "bin/ must hold the two programs alone: ${programs}")
endif()
foreach(file IN LISTS installed)
    if(file MATCHES "\\.so($|\\.)" OR file MATCHES "^lib/" AND NOT file MATCHES "^lib/systemd/system/")
        message(FATAL_ERROR "installed beside the programs: ${file}")
    endif()
endforeach()

# The unit runs the installed service, under its own user, its data in its
# state folder, port 80 through a capability.
set(unit ${PREFIX}/lib/systemd/system/tarnwick-service.service)
file(STRINGS ${unit} exec_start REGEX "^ExecStart=")
if(NOT exec_start MATCHES "^ExecStart=/[^ ]*/bin/tarnwick-service .*--data /var/lib/tarnwick-service( |$)")
    message(FATAL_ERROR "the unit must start the installed service on its state folder: ${exec_start}")
endif()
file(READ ${unit} unit_text)
foreach(line DynamicUser=yes StateDirectory=tarnwick-service AmbientCapabilities=CAP_NET_BIND_SERVICE
             CapabilityBoundingSet=CAP_NET_BIND_SERVICE NoNewPrivileges=yes ProtectSystem=strict)
    if(NOT unit_text MATCHES "(^|\n)${line}\n")
        message(FATAL_ERROR "the unit lacks ${line}")
    endif()
endforeach()

# "Open with" hands the program the one file chosen: %f, and only once.
file(STRINGS ${PREFIX}/share/applications/${app_id}.desktop exec_lines REGEX "^Exec=")
if(NOT exec_lines STREQUAL "Exec=tarnwick-uploader %f")
    message(FATAL_ERROR "the desktop entry must start the program with the chosen file: ${exec_lines}")
endif()

find_program(DESKTOP_FILE_VALIDATE desktop-file-validate REQUIRED)
find_program(APPSTREAMCLI appstreamcli REQUIRED)
execute_process(COMMAND ${DESKTOP_FILE_VALIDATE} ${PREFIX}/share/applications/${app_id}.desktop
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
message(STATUS "${out}")
if(NOT rc EQUAL 0)
    message(FATAL_ERROR "desktop-file-validate failed")
endif()
execute_process(COMMAND ${APPSTREAMCLI} validate --no-net ${PREFIX}/share/metainfo/${app_id}.metainfo.xml
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
message(STATUS "${out}")
if(NOT rc EQUAL 0)
    message(FATAL_ERROR "appstreamcli validate failed")
endif()

# systemd's own reading of the unit, where systemd is installed. The unit names
# the service by its packaged path, so it is checked with a copy that names
# this one.
if(SYSTEMD_ANALYZE)
    file(READ ${unit} unit_text)
    string(REGEX REPLACE "ExecStart=/[^ ]*/bin/tarnwick-service" "ExecStart=${PREFIX}/bin/tarnwick-service"
           unit_text "${unit_text}")
    file(WRITE ${PREFIX}/verify/tarnwick-service.service "${unit_text}")
    execute_process(COMMAND ${SYSTEMD_ANALYZE} verify --man=no ${PREFIX}/verify/tarnwick-service.service
                    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
    message(STATUS "${out}")
    if(NOT rc EQUAL 0 OR out MATCHES "tarnwick-service.service:")
        message(FATAL_ERROR "systemd-analyze verify failed")
    endif()
endif()
