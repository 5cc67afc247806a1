# cmake -DBUILD_DIR=... -DPREFIX=... -P CheckInstall.cmake
file(REMOVE_RECURSE ${PREFIX})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${PREFIX} --component Unspecified
                RESULT_VARIABLE rc OUTPUT_QUIET)
if(NOT rc EQUAL 0)
    message(FATAL_ERROR "cmake --install failed: ${rc}")
endif()

set(app_id org.tarnwick.Uploader)
set(expected
    bin/tarnwick-uploader
    share/applications/${app_id}.desktop
    share/metainfo/${app_id}.metainfo.xml
    share/icons/hicolor/scalable/apps/${app_id}.svg)
foreach(size 16 24 32 48 128)
    list(APPEND expected share/icons/hicolor/${size}x${size}/apps/${app_id}.png)
endforeach()
foreach(file IN LISTS expected)
    if(NOT EXISTS ${PREFIX}/${file})
        message(FATAL_ERROR "not installed: ${file}")
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
