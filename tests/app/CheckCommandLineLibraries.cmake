# cmake -DPROGRAM=... -P CheckCommandLineLibraries.cmake
# Every library the loader maps when the program starts, its own and theirs:
# none of the window's may be among them.
find_program(LDD ldd REQUIRED)
execute_process(COMMAND ${LDD} ${PROGRAM} RESULT_VARIABLE rc OUTPUT_VARIABLE loaded ERROR_VARIABLE loaded)
if(NOT rc EQUAL 0)
    message(FATAL_ERROR "ldd ${PROGRAM} failed: ${loaded}")
endif()
# The list must be a real one for its absences to mean anything.
if(NOT loaded MATCHES "libQt6Core\\.so" OR NOT loaded MATCHES "libQt6Network\\.so")
    message(FATAL_ERROR "ldd did not list the program's libraries:\n${loaded}")
endif()

# libcurl is not among them: the HTTP client links it.
foreach(library libQt6Widgets libQt6Gui libQt6OpenGL libQt6DBus libX11 libxcb libEGL libGL libfontconfig libfreetype libharfbuzz libpng)
    if(loaded MATCHES "(^|[\t /])${library}[.-]")
        message(FATAL_ERROR "the program loads ${library} when it starts:\n${loaded}")
    endif()
endforeach()
