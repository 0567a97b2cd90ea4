# Debian's hardening flags for the programs and their libraries, as dpkg-buildflags gives
# them with every hardening feature on: the stack protector, format checks, fortified
# C library calls (_FORTIFY_SOURCE) and relocations made read-only and bound at start
# (-z relro -z now). Optimisation, debugging information and the file prefix map stay the
# build type's own. Left out where it cannot help: a sanitizer build (fortified calls hide
# what the sanitizers look for) and, for _FORTIFY_SOURCE, a build without optimisation.
#   quiva_apply_hardening()   in the folder whose targets get the flags
option(QUIVA_HARDENING "Build the programs with Debian's hardening flags (dpkg-buildflags)" ON)
find_program(QUIVA_DPKG_BUILDFLAGS dpkg-buildflags)

function(quiva_apply_hardening)
    if(NOT QUIVA_HARDENING OR CMAKE_CXX_FLAGS MATCHES "-fsanitize")
        return()
    endif()
    if(NOT QUIVA_DPKG_BUILDFLAGS)
        message(WARNING "dpkg-buildflags not found (dpkg-dev): built without hardening flags")
        return()
    endif()
    foreach(kind CPPFLAGS CXXFLAGS LDFLAGS)
        execute_process(
            COMMAND ${CMAKE_COMMAND} -E env DEB_BUILD_MAINT_OPTIONS=hardening=+all
                    ${QUIVA_DPKG_BUILDFLAGS} --get ${kind}
            OUTPUT_VARIABLE _flags OUTPUT_STRIP_TRAILING_WHITESPACE
            RESULT_VARIABLE _status)
        if(NOT _status EQUAL 0)
            message(WARNING "dpkg-buildflags --get ${kind} failed: built without it")
            continue()
        endif()
        separate_arguments(_flags UNIX_COMMAND "${_flags}")
        foreach(flag IN LISTS _flags)
            if(flag MATCHES "^-(g|O)" OR flag MATCHES "prefix-map")
                continue()
            elseif(kind STREQUAL "LDFLAGS")
                add_link_options(${flag})
            elseif(flag MATCHES "^-D_FORTIFY_SOURCE")
                add_compile_options($<$<NOT:$<CONFIG:Debug>>:${flag}>)
            else()
                add_compile_options(${flag})
            endif()
        endforeach()
    endforeach()
endfunction()
