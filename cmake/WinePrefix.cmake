# The private Wine prefix the Windows tests run in (cmake/WineTests.cmake runs this as ctest
# fixtures).
#   cmake -DWINE=/usr/lib/wine/wine64 -DPREFIX=dir [-DFONT_DIR=dir] -P cmake/WinePrefix.cmake
#       makes the prefix once (wineboot -i, ~7 s), has a program that crashes end at once (no
#       debugger is started for it: AeDebug names none), copies Wine's Tahoma into its Fonts folder
#       (Wine has no Tahoma of its own for the windows platform), and fills FONT_DIR with the fonts
#       the offscreen platform is given (QT_QPA_FONTDIR): WenQuanYi Micro Hei for the Chinese texts,
#       Tahoma for the rest;
#   cmake -DWINE=... -DPREFIX=dir -DSTOP=ON -P cmake/WinePrefix.cmake
#       stops that prefix's Wine server (and only it).
if(NOT WINE OR NOT PREFIX)
    message(FATAL_ERROR "WINE and PREFIX are needed")
endif()

set(ENV{WINEPREFIX} "${PREFIX}")
set(ENV{WINEDEBUG} "-all")
set(ENV{WINEDLLOVERRIDES} "mscoree,mshtml=")  # no Mono or Gecko installer prompts
unset(ENV{DISPLAY})
get_filename_component(wine_dir "${WINE}" DIRECTORY)
find_program(WINESERVER NAMES wineserver HINTS "${wine_dir}" /usr/lib/wine NO_CACHE)

if(STOP)
    if(WINESERVER AND EXISTS "${PREFIX}/system.reg")
        execute_process(COMMAND "${WINESERVER}" -k RESULT_VARIABLE ignored ERROR_QUIET OUTPUT_QUIET)
    endif()
    return()
endif()

if(NOT EXISTS "${PREFIX}/system.reg")
    message(STATUS "Making the Wine prefix ${PREFIX}")
    string(TIMESTAMP started "%s")
    execute_process(COMMAND "${WINE}" wineboot -i RESULT_VARIABLE result OUTPUT_QUIET ERROR_QUIET TIMEOUT 240)
    if(WINESERVER)
        execute_process(COMMAND "${WINESERVER}" -w TIMEOUT 120)
    endif()
    string(TIMESTAMP finished "%s")
    math(EXPR seconds "${finished} - ${started}")
    if(NOT result EQUAL 0 OR NOT EXISTS "${PREFIX}/system.reg")
        message(FATAL_ERROR "wineboot -i failed (${result})")
    endif()
    message(STATUS "Wine prefix made in ${seconds} s")
endif()

# A crash ends the program at once with its exception code: Wine starts no debugger for it, which
# could wait for someone at a crash dialog or keep the program and its children alive.
set(aedebug "HKLM\\Software\\Microsoft\\Windows NT\\CurrentVersion\\AeDebug")
file(STRINGS "${PREFIX}/system.reg" debugger_lines REGEX "^\"Debugger\"=")
if(NOT debugger_lines STREQUAL "\"Debugger\"=\"\"")
    execute_process(COMMAND "${WINE}" reg add "${aedebug}" /v Debugger /d "" /f OUTPUT_QUIET ERROR_QUIET
        RESULT_VARIABLE debugger_result TIMEOUT 60)
    execute_process(COMMAND "${WINE}" reg add "${aedebug}" /v Auto /d 1 /f OUTPUT_QUIET ERROR_QUIET
        RESULT_VARIABLE auto_result TIMEOUT 60)
    if(NOT debugger_result EQUAL 0 OR NOT auto_result EQUAL 0)
        message(FATAL_ERROR "could not turn off the crash debugger in ${PREFIX}")
    endif()
    if(WINESERVER)
        execute_process(COMMAND "${WINESERVER}" -w TIMEOUT 120)
    endif()
    message(STATUS "No crash debugger in ${PREFIX}")
endif()

set(font_sources)
foreach(font /usr/share/fonts/truetype/wqy/wqy-microhei.ttc /usr/share/wine/fonts/tahoma.ttf
        /usr/share/wine/fonts/tahomabd.ttf)
    if(EXISTS "${font}")
        list(APPEND font_sources "${font}")
    else()
        message(WARNING "missing font ${font}: texts may show as boxes")
    endif()
endforeach()
foreach(font ${font_sources})
    get_filename_component(name "${font}" NAME)
    if(name MATCHES "^tahoma" AND NOT EXISTS "${PREFIX}/drive_c/windows/Fonts/${name}")
        file(COPY "${font}" DESTINATION "${PREFIX}/drive_c/windows/Fonts")
    endif()
    if(FONT_DIR AND NOT EXISTS "${FONT_DIR}/${name}")
        file(MAKE_DIRECTORY "${FONT_DIR}")
        file(CREATE_LINK "${font}" "${FONT_DIR}/${name}" SYMBOLIC)
    endif()
endforeach()
message(STATUS "Wine prefix ready: ${PREFIX}")
