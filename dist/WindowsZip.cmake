# Packs vantrel-cli.exe, the README's vantrel-cli section as text and the licence into a zip.
# Usage: cmake -DREADME=... -DLICENSE=... -DEXE=... -DSTAGE=<scratch folder> -DZIP=<zip> -P
foreach(var README LICENSE EXE STAGE ZIP)
    if(NOT DEFINED ${var})
        message(FATAL_ERROR "WindowsZip.cmake: ${var} not set")
    endif()
endforeach()

# The section runs from its heading to the next heading of the same level.
file(READ "${README}" readme)
string(FIND "${readme}" "\n## vantrel-cli\n" start)
if(start EQUAL -1)
    message(FATAL_ERROR "WindowsZip.cmake: no '## vantrel-cli' section in ${README}")
endif()
math(EXPR start "${start} + 1")
string(SUBSTRING "${readme}" ${start} -1 section)
string(SUBSTRING "${section}" 1 -1 rest)
string(FIND "${rest}" "\n## " end)
if(NOT end EQUAL -1)
    math(EXPR end "${end} + 2")
    string(SUBSTRING "${section}" 0 ${end} section)
endif()

file(REMOVE_RECURSE "${STAGE}")
file(MAKE_DIRECTORY "${STAGE}")
# CR LF, so that any Windows editor shows the lines.
string(REPLACE "\n" "\r\n" section "${section}")
file(WRITE "${STAGE}/README-vantrel-cli.txt" "${section}")
file(READ "${LICENSE}" licence)
string(REPLACE "\n" "\r\n" licence "${licence}")
file(WRITE "${STAGE}/LICENSE.txt" "${licence}")
file(COPY "${EXE}" DESTINATION "${STAGE}")
get_filename_component(exe_name "${EXE}" NAME)

file(REMOVE "${ZIP}")
execute_process(
    COMMAND "${CMAKE_COMMAND}" -E tar cf "${ZIP}" --format=zip
            "${exe_name}" README-vantrel-cli.txt LICENSE.txt
    WORKING_DIRECTORY "${STAGE}"
    RESULT_VARIABLE result)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "WindowsZip.cmake: packing ${ZIP} failed (${result})")
endif()
