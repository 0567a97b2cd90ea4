# Layer enforcement: the sources of an engine-level target may not include Qt's
# widget or GUI modules. The check runs on every build, before the target compiles.
function(quiva_forbid_gui_includes target)
    get_target_property(_sources ${target} SOURCES)
    get_target_property(_dir ${target} SOURCE_DIR)
    set(_files "")
    foreach(_src IN LISTS _sources)
        if(NOT IS_ABSOLUTE "${_src}")
            set(_src "${_dir}/${_src}")
        endif()
        list(APPEND _files "${_src}")
    endforeach()
    set(_stamp "${CMAKE_CURRENT_BINARY_DIR}/${target}_layers.stamp")
    add_custom_command(
        OUTPUT "${_stamp}"
        COMMAND ${CMAKE_COMMAND} -DTARGET=${target} "-DFILES=${_files}" -DSTAMP=${_stamp}
                -P "${PROJECT_SOURCE_DIR}/cmake/check_layers.cmake"
        DEPENDS ${_files} "${PROJECT_SOURCE_DIR}/cmake/check_layers.cmake"
        COMMENT "Checking that ${target} stays below the widget layer"
        VERBATIM)
    add_custom_target(${target}_layer_check DEPENDS "${_stamp}")
    add_dependencies(${target} ${target}_layer_check)
endfunction()
