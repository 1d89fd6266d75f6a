# Runs the Windows test programs of a MinGW-w64 cross build here, under Wine: ctest starts each one
# through CMAKE_CROSSCOMPILING_EMULATOR (the wine64 program, cmake/toolchain-mingw-w64-x86_64.cmake)
# with WINEPATH pointing at the Qt DLLs and the MinGW runtime DLLs, in a private Wine prefix that a
# fixture test makes first (cmake/WinePrefix.cmake).
#
# Wine hands the Windows process the Linux environment except the QT_* variables; the test mains
# take the few Qt settings they need from QV_TEST_* variables instead (tests/support).

if(NOT CMAKE_CROSSCOMPILING_EMULATOR)
    message(STATUS "Wine not found: the Windows tests are built but ctest cannot run them")
endif()

set(QV_WINE_PREFIX "${CMAKE_BINARY_DIR}/wine-prefix" CACHE PATH "Private Wine prefix for the Windows tests")
# The fonts the offscreen platform draws with (it has no others on Windows): a CJK font for the
# Chinese texts, Wine's Tahoma for the rest.
set(QV_TEST_FONT_DIR "${CMAKE_BINARY_DIR}/test-fonts" CACHE PATH "Fonts for the offscreen platform under Wine")

# Z:\ is the Linux root in every Wine prefix.
function(qv_wine_path out unix_path)
    string(REPLACE "/" "\\" windows_path "${unix_path}")
    set(${out} "Z:${windows_path}" PARENT_SCOPE)
endfunction()

# The folders of the DLLs the programs load: Qt's bin, the compiler's libstdc++-6.dll and
# libgcc_s_seh-1.dll, the sysroot's libwinpthread-1.dll.
set(_qv_dll_dirs)
if(TARGET Qt5::Core)
    get_target_property(_qv_qt_core Qt5::Core LOCATION)
    get_filename_component(_qv_qt_bin "${_qv_qt_core}" DIRECTORY)
    list(APPEND _qv_dll_dirs "${_qv_qt_bin}")
endif()
foreach(_qv_dll libstdc++-6.dll libwinpthread-1.dll)
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${_qv_dll}
        OUTPUT_VARIABLE _qv_found OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(IS_ABSOLUTE "${_qv_found}" AND EXISTS "${_qv_found}")
        get_filename_component(_qv_dir "${_qv_found}" DIRECTORY)
        get_filename_component(_qv_dir "${_qv_dir}" REALPATH)
        list(APPEND _qv_dll_dirs "${_qv_dir}")
    endif()
endforeach()
list(REMOVE_DUPLICATES _qv_dll_dirs)
set(QV_WINDOWS_DLL_DIRS "${_qv_dll_dirs}" CACHE INTERNAL "Folders of the DLLs the Windows programs load")

set(_qv_winepath)
foreach(_qv_dir ${_qv_dll_dirs})
    qv_wine_path(_qv_windows_dir "${_qv_dir}")
    list(APPEND _qv_winepath "${_qv_windows_dir}")
endforeach()
# WINEPATH's separator is ';', which must survive as one value of the ENVIRONMENT list.
string(REPLACE ";" "\\;" _qv_winepath "${_qv_winepath}")
qv_wine_path(_qv_font_dir "${QV_TEST_FONT_DIR}")

set(QV_WINE_TEST_ENVIRONMENT
    "WINEPREFIX=${QV_WINE_PREFIX}"
    "WINEPATH=${_qv_winepath}"
    "WINEDEBUG=-all"
    "WINEDLLOVERRIDES=mscoree,mshtml="
    "QV_TEST_FONTDIR=${_qv_font_dir}"
    # One program holds every case under Wine: a case that hangs ends it, named, long before the
    # program's own time runs out.
    "QV_TEST_CASE_SECONDS=180")

# The prefix: made once (wineboot -i), with the fonts; the Wine server of that prefix is stopped
# after the tests, so that a later run on a display starts afresh.
add_test(NAME wine_prefix_setup
    COMMAND ${CMAKE_COMMAND} -DWINE=${CMAKE_CROSSCOMPILING_EMULATOR} -DPREFIX=${QV_WINE_PREFIX}
        -DFONT_DIR=${QV_TEST_FONT_DIR} -P ${PROJECT_SOURCE_DIR}/cmake/WinePrefix.cmake)
add_test(NAME wine_server_stop
    COMMAND ${CMAKE_COMMAND} -DWINE=${CMAKE_CROSSCOMPILING_EMULATOR} -DPREFIX=${QV_WINE_PREFIX}
        -DSTOP=ON -P ${PROJECT_SOURCE_DIR}/cmake/WinePrefix.cmake)
set_tests_properties(wine_prefix_setup PROPERTIES FIXTURES_SETUP wine TIMEOUT 300 LABELS wine)
set_tests_properties(wine_server_stop PROPERTIES FIXTURES_CLEANUP wine TIMEOUT 120 LABELS wine)

# qv_add_wine_test(TARGET [LABELS ...] [ARGS ...] [ENVIRONMENT ...] [NAME name]): runs the program
# under Wine; it passes when it exits 0.
function(qv_add_wine_test target)
    cmake_parse_arguments(W "" "NAME" "LABELS;ARGS;ENVIRONMENT" ${ARGN})
    if(NOT W_NAME)
        set(W_NAME ${target})
    endif()
    add_test(NAME ${W_NAME} COMMAND ${target} ${W_ARGS})
    set_tests_properties(${W_NAME} PROPERTIES
        ENVIRONMENT "${QV_WINE_TEST_ENVIRONMENT};${W_ENVIRONMENT}"
        FIXTURES_REQUIRED wine
        TIMEOUT 300
        LABELS "wine;${W_LABELS}")
endfunction()
