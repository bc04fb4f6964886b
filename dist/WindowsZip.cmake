# Packs vantrel-cli.exe, its guide (docs/cli.md) as text and the licence into a zip.
# Usage: cmake -DREADME=... -DLICENSE=... -DEXE=... -DSTAGE=<scratch folder> -DZIP=<zip> -P
foreach(var README LICENSE EXE STAGE ZIP)
    if(NOT DEFINED ${var})
        message(FATAL_ERROR "WindowsZip.cmake: ${var} not set")
    endif()
endforeach()

file(READ "${README}" section)

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
