# cmake -DPROGRAMS="a;b" -P CheckLinkedLibraries.cmake
# What each program needs at run time is in its dynamic section, where the
# loader and the packaging tools (dpkg-shlibdeps) see it: libcurl among its
# libraries, and no dlopen() of its own that could hide another.
find_program(READELF readelf REQUIRED)
foreach(program IN LISTS PROGRAMS)
    execute_process(COMMAND ${READELF} --wide --dynamic --dyn-syms ${program}
                    RESULT_VARIABLE rc OUTPUT_VARIABLE dynamic ERROR_VARIABLE dynamic)
    if(NOT rc EQUAL 0)
        message(FATAL_ERROR "readelf ${program} failed: ${dynamic}")
    endif()
    # The list must be a real one for its absences to mean anything.
    if(NOT dynamic MATCHES "\\(NEEDED\\)[^\n]*\\[libQt6Core\\.so")
        message(FATAL_ERROR "readelf listed no libraries of ${program}:\n${dynamic}")
    endif()
    if(NOT dynamic MATCHES "\\(NEEDED\\)[^\n]*\\[libcurl\\.so\\.4\\]")
        message(FATAL_ERROR "${program} does not link libcurl:\n${dynamic}")
    endif()
    if(dynamic MATCHES "UND dlopen")
        message(FATAL_ERROR "${program} opens a library by hand (dlopen)")
    endif()
endforeach()
