# Signs a Windows program in place with an Authenticode signature (SHA-256), by osslsigncode.
# Usage: cmake -DFILE=<exe> -DOSSLSIGNCODE=<osslsigncode> -DCERT=<certificate file>
#              -DKEY=<private key file> [-DPASSWORD_FILE=<file holding the key's password>]
#              [-DTIMESTAMP_URL=<RFC 3161 time-stamp server>] -P Sign.cmake
# The certificate file holds the signing certificate, then any intermediate ones (PEM or DER).
# A time stamp keeps the signature valid after the certificate expires; without one the
# signature is trusted only as long as the certificate is.
#
# Included (Package.cmake), it gives vantrel_sign(<file>) with the same variables set.
function(vantrel_sign file)
    foreach(var OSSLSIGNCODE CERT KEY)
        if(NOT ${var})
            message(FATAL_ERROR "Sign.cmake: ${var} not set")
        endif()
    endforeach()

    set(args -certs "${CERT}" -key "${KEY}" -h sha256 -n Vantrel)
    if(PASSWORD_FILE)
        list(APPEND args -readpass "${PASSWORD_FILE}")
    endif()
    if(TIMESTAMP_URL)
        list(APPEND args -ts "${TIMESTAMP_URL}")
    endif()

    # osslsigncode writes a new file: the signed one takes the place of the original only whole.
    set(signed "${file}.signing")
    file(REMOVE "${signed}")
    execute_process(
        COMMAND "${OSSLSIGNCODE}" sign ${args} -in "${file}" -out "${signed}"
        RESULT_VARIABLE result
        OUTPUT_VARIABLE output
        ERROR_VARIABLE output)
    if(NOT result EQUAL 0)
        file(REMOVE "${signed}")
        message(FATAL_ERROR "Sign.cmake: signing ${file} failed (${result}):\n${output}")
    endif()
    file(RENAME "${signed}" "${file}")
endfunction()

if(FILE)
    vantrel_sign("${FILE}")
endif()
