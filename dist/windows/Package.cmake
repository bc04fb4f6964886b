# Stages what Windows users get, the two programs (stripped), README.txt and LICENSE.txt, and
# packs the portable zip from it; the installer is built from the same staged files. With
# CERT and KEY (and OSSLSIGNCODE, PASSWORD_FILE, TIMESTAMP_URL as Sign.cmake takes them) the
# staged programs are signed once stripped: stripping a signed program would break its
# signature.
# Usage: cmake -DWINDOW=<vantrel.exe> -DCLI=<vantrel-cli.exe> -DREADME=<README.txt>
#              -DLICENSE=<LICENSE> -DSTRIP=<strip or empty> -DSTAGE=<folder> -DZIP=<zip>
#              [-DCERT=... -DKEY=... -DOSSLSIGNCODE=...] -P
foreach(var WINDOW CLI README LICENSE STAGE ZIP)
    if(NOT DEFINED ${var})
        message(FATAL_ERROR "Package.cmake: ${var} not set")
    endif()
endforeach()

file(REMOVE_RECURSE "${STAGE}")
file(MAKE_DIRECTORY "${STAGE}")
foreach(exe "${WINDOW}" "${CLI}")
    file(COPY "${exe}" DESTINATION "${STAGE}")
    get_filename_component(name "${exe}" NAME)
    if(STRIP)
        execute_process(COMMAND "${STRIP}" "${STAGE}/${name}" RESULT_VARIABLE result)
        if(NOT result EQUAL 0)
            message(FATAL_ERROR "Package.cmake: stripping ${name} failed (${result})")
        endif()
    endif()
    if(CERT)
        include("${CMAKE_CURRENT_LIST_DIR}/Sign.cmake")
        vantrel_sign("${STAGE}/${name}")
    endif()
endforeach()

# CR LF, so that every Windows editor shows the lines; the readme also starts with a byte
# order mark, by which Notepad knows it is UTF-8 and shows its Chinese.
file(READ "${README}" readme)
string(REPLACE "\n" "\r\n" readme "${readme}")
string(ASCII 239 187 191 bom)
file(WRITE "${STAGE}/README.txt" "${bom}${readme}")
file(READ "${LICENSE}" licence)
string(REPLACE "\n" "\r\n" licence "${licence}")
file(WRITE "${STAGE}/LICENSE.txt" "${licence}")

file(REMOVE "${ZIP}")
execute_process(
    COMMAND "${CMAKE_COMMAND}" -E tar cf "${ZIP}" --format=zip
            vantrel.exe vantrel-cli.exe README.txt LICENSE.txt
    WORKING_DIRECTORY "${STAGE}"
    RESULT_VARIABLE result)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "Package.cmake: packing ${ZIP} failed (${result})")
endif()
