# cmake -DBUILD_DIR=... -DPREFIX=... -DWINDOW_MODULE=... -P CheckInstall.cmake
# WINDOW_MODULE: where the program looks for the window's module, from its own folder.
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

# The window opens only if its module is where the installed program looks.
cmake_path(ABSOLUTE_PATH WINDOW_MODULE BASE_DIRECTORY ${PREFIX}/bin NORMALIZE OUTPUT_VARIABLE module)
if(NOT EXISTS ${module})
    message(FATAL_ERROR "the window's module is not where the program looks for it: ${module}")
endif()

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
