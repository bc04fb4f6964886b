# Builds SQLite from its amalgamation, for platforms without an SQLite package (the Windows
# build). The source comes either from a folder holding sqlite3.c and sqlite3.h, given in
# VANTREL_SQLITE_SOURCE_DIR, or from the npm package better-sqlite3, which ships the
# amalgamation in deps/sqlite3/. The package is fetched with `npm pack` into the build folder
# at configure time and checked against a pinned SHA-256 before anything is unpacked.
# Defines the target vantrel::sqlite3.

set(VANTREL_SQLITE_SOURCE_DIR "" CACHE PATH
    "Folder with sqlite3.c and sqlite3.h; empty to fetch the pinned npm package")

set(_sqlite_npm_package better-sqlite3)
set(_sqlite_npm_version 12.11.1)  # carries SQLite 3.53.2
set(_sqlite_npm_sha256 ebf0ed75a7a59dbcb3b24bbd014ef49d9f15bc328e4adcbf516f2a8fadfa2835)

if(VANTREL_SQLITE_SOURCE_DIR)
    set(_sqlite_dir "${VANTREL_SQLITE_SOURCE_DIR}")
else()
    set(_sqlite_fetch_dir "${CMAKE_BINARY_DIR}/_deps/sqlite")
    set(_sqlite_tarball "${_sqlite_fetch_dir}/${_sqlite_npm_package}-${_sqlite_npm_version}.tgz")
    set(_sqlite_dir "${_sqlite_fetch_dir}/package/deps/sqlite3")

    # A tarball already fetched is reused only when it still has the pinned hash.
    set(_sqlite_have_tarball FALSE)
    if(EXISTS "${_sqlite_tarball}")
        file(SHA256 "${_sqlite_tarball}" _sqlite_hash)
        if(_sqlite_hash STREQUAL _sqlite_npm_sha256)
            set(_sqlite_have_tarball TRUE)
        else()
            file(REMOVE "${_sqlite_tarball}")
        endif()
    endif()

    if(NOT _sqlite_have_tarball)
        find_program(VANTREL_NPM NAMES npm npm.cmd)
        if(NOT VANTREL_NPM)
            message(FATAL_ERROR "SQLite: npm is needed to fetch the amalgamation "
                                "(or set VANTREL_SQLITE_SOURCE_DIR to a folder with sqlite3.c)")
        endif()
        file(MAKE_DIRECTORY "${_sqlite_fetch_dir}")
        message(STATUS "SQLite: fetching ${_sqlite_npm_package}@${_sqlite_npm_version} with npm")
        execute_process(
            COMMAND "${VANTREL_NPM}" pack "${_sqlite_npm_package}@${_sqlite_npm_version}"
                    --silent --ignore-scripts --pack-destination "${_sqlite_fetch_dir}"
            WORKING_DIRECTORY "${_sqlite_fetch_dir}"
            RESULT_VARIABLE _sqlite_npm_result
            OUTPUT_QUIET)
        if(NOT _sqlite_npm_result EQUAL 0 OR NOT EXISTS "${_sqlite_tarball}")
            message(FATAL_ERROR "SQLite: npm pack ${_sqlite_npm_package}@${_sqlite_npm_version} "
                                "failed (${_sqlite_npm_result})")
        endif()
        file(SHA256 "${_sqlite_tarball}" _sqlite_hash)
        if(NOT _sqlite_hash STREQUAL _sqlite_npm_sha256)
            file(REMOVE "${_sqlite_tarball}")
            message(FATAL_ERROR "SQLite: ${_sqlite_npm_package}-${_sqlite_npm_version}.tgz has "
                                "SHA-256 ${_sqlite_hash}, expected ${_sqlite_npm_sha256}")
        endif()
        file(REMOVE_RECURSE "${_sqlite_fetch_dir}/package")
    endif()

    if(NOT EXISTS "${_sqlite_dir}/sqlite3.c")
        file(ARCHIVE_EXTRACT INPUT "${_sqlite_tarball}" DESTINATION "${_sqlite_fetch_dir}"
             PATTERNS "package/deps/sqlite3/*")
    endif()
endif()

foreach(_sqlite_file sqlite3.c sqlite3.h)
    if(NOT EXISTS "${_sqlite_dir}/${_sqlite_file}")
        message(FATAL_ERROR "SQLite: ${_sqlite_dir}/${_sqlite_file} not found")
    endif()
endforeach()

add_library(vantrel_sqlite3 STATIC "${_sqlite_dir}/sqlite3.c")
add_library(vantrel::sqlite3 ALIAS vantrel_sqlite3)
set_property(TARGET vantrel_sqlite3 PROPERTY VANTREL_THIRD_PARTY ON)
target_include_directories(vantrel_sqlite3 SYSTEM PUBLIC "${_sqlite_dir}")
target_compile_definitions(vantrel_sqlite3 PRIVATE
    SQLITE_THREADSAFE=1
    SQLITE_DQS=0
    SQLITE_DEFAULT_MEMSTATUS=0
    SQLITE_OMIT_LOAD_EXTENSION
    SQLITE_OMIT_DEPRECATED)
# Third-party code: its warnings are not ours to fix. The record database holds a few rows,
# so -O1 serves and halves the time of the build's longest compile.
if(CMAKE_C_COMPILER_ID MATCHES "GNU|Clang")
    target_compile_options(vantrel_sqlite3 PRIVATE -w -O1)
endif()
