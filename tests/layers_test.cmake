# Checks that the layer check refuses widget and GUI includes in engine sources and
# accepts a plain engine source.
file(MAKE_DIRECTORY "${WORK_DIR}")
set(_cases
    "#include <QWidget>|fail"
    "#include <QtWidgets/QLabel>|fail"
    "  #  include \"QtGui/QColor\"|fail"
    "#include <QString>|pass"
    "// #include <QWidget> is fine in a comment|pass")
set(_index 0)
foreach(_case IN LISTS _cases)
    string(REPLACE "|" ";" _parts "${_case}")
    list(GET _parts 0 _line)
    list(GET _parts 1 _expect)
    set(_file "${WORK_DIR}/case${_index}.cpp")
    file(WRITE "${_file}" "${_line}\nint x;\n")
    execute_process(
        COMMAND ${CMAKE_COMMAND} -DTARGET=probe "-DFILES=${_file}"
                -DSTAMP=${WORK_DIR}/stamp${_index} -P "${SOURCE_DIR}/cmake/check_layers.cmake"
        RESULT_VARIABLE _result OUTPUT_QUIET ERROR_QUIET)
    if(_expect STREQUAL "fail" AND _result EQUAL 0)
        message(FATAL_ERROR "layer check accepted: ${_line}")
    elseif(_expect STREQUAL "pass" AND NOT _result EQUAL 0)
        message(FATAL_ERROR "layer check refused: ${_line}")
    endif()
    math(EXPR _index "${_index} + 1")
endforeach()
message(STATUS "layer check: ${_index} cases as expected")
