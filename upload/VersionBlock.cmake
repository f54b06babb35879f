# korvan_embed_version(<target> FILE_VERSION <a.b.c.d>
#                      [FILE_VERSION_STRING <text>]      default: FILE_VERSION; "" leaves it empty
#                      [PRODUCT_VERSION <a.b.c.d>]       default: FILE_VERSION
#                      [LANGUAGE <number>] [CODE_PAGE <number>]   default: 0x0405, 0x04E2
#                      [STRINGS <key> <value> ...])
#
# Writes the target's version block (layout in upload/VersionBlock.h) as a byte array into a
# generated source file that is compiled into the target and lands in the ELF section
# .korvan_version, from where TVersionInfo reads it back.

function(_korvan_version_le out value width)
    set(bytes "")
    foreach(i RANGE 1 ${width})
        math(EXPR byte "(${value}) & 255" OUTPUT_FORMAT HEXADECIMAL)
        math(EXPR value "(${value}) >> 8")
        string(APPEND bytes "${byte},")
    endforeach()
    set(${out} "${bytes}" PARENT_SCOPE)
endfunction()

function(_korvan_version_text out length_out text)
    string(HEX "${text}" hex)
    string(LENGTH "${hex}" hex_length)
    math(EXPR length "${hex_length} / 2")
    if(length GREATER 65535)
        message(FATAL_ERROR "korvan_embed_version: text too long: ${text}")
    endif()
    string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
    _korvan_version_le(prefix ${length} 2)
    set(${out} "${prefix}${bytes}" PARENT_SCOPE)
    math(EXPR length "${length} + 2")
    set(${length_out} ${length} PARENT_SCOPE)
endfunction()

function(_korvan_version_halves ms_out ls_out version)
    if(NOT version MATCHES "^([0-9]+)\\.([0-9]+)\\.([0-9]+)\\.([0-9]+)$")
        message(FATAL_ERROR "korvan_embed_version: version must be four numbers: ${version}")
    endif()
    foreach(part ${CMAKE_MATCH_1} ${CMAKE_MATCH_2} ${CMAKE_MATCH_3} ${CMAKE_MATCH_4})
        if(part GREATER 65535)
            message(FATAL_ERROR "korvan_embed_version: each version number must fit 16 bits: ${version}")
        endif()
    endforeach()
    math(EXPR ms "(${CMAKE_MATCH_1} << 16) | ${CMAKE_MATCH_2}")
    math(EXPR ls "(${CMAKE_MATCH_3} << 16) | ${CMAKE_MATCH_4}")
    set(${ms_out} ${ms} PARENT_SCOPE)
    set(${ls_out} ${ls} PARENT_SCOPE)
endfunction()

function(korvan_embed_version target)
    cmake_parse_arguments(PARSE_ARGV 1 arg "" "FILE_VERSION;FILE_VERSION_STRING;PRODUCT_VERSION;LANGUAGE;CODE_PAGE"
        "STRINGS")
    if(NOT arg_FILE_VERSION)
        message(FATAL_ERROR "korvan_embed_version: FILE_VERSION is required")
    endif()
    # An empty value after a keyword leaves the variable undefined; the keyword itself tells that
    # an empty FileVersion string was asked for.
    if(NOT DEFINED arg_FILE_VERSION_STRING)
        list(FIND ARGN FILE_VERSION_STRING given)
        if(given EQUAL -1)
            set(arg_FILE_VERSION_STRING "${arg_FILE_VERSION}")
        else()
            set(arg_FILE_VERSION_STRING "")
        endif()
    endif()
    if(NOT arg_PRODUCT_VERSION)
        set(arg_PRODUCT_VERSION "${arg_FILE_VERSION}")
    endif()
    if(NOT DEFINED arg_LANGUAGE)
        set(arg_LANGUAGE 0x0405)
    endif()
    if(NOT DEFINED arg_CODE_PAGE)
        set(arg_CODE_PAGE 0x04E2)
    endif()
    list(LENGTH arg_STRINGS string_items)
    math(EXPR odd "${string_items} % 2")
    if(odd)
        message(FATAL_ERROR "korvan_embed_version: STRINGS takes key and value pairs")
    endif()

    _korvan_version_halves(file_ms file_ls "${arg_FILE_VERSION}")
    _korvan_version_halves(product_ms product_ls "${arg_PRODUCT_VERSION}")

    # The strings: FileVersion first, then the given pairs.
    set(strings "")
    set(strings_size 0)
    set(string_count 1)
    _korvan_version_text(bytes length "FileVersion")
    string(APPEND strings "${bytes}")
    math(EXPR strings_size "${strings_size} + ${length}")
    _korvan_version_text(bytes length "${arg_FILE_VERSION_STRING}")
    string(APPEND strings "${bytes}")
    math(EXPR strings_size "${strings_size} + ${length}")
    if(string_items GREATER 0)
        math(EXPR last "${string_items} - 1")
        foreach(i RANGE 0 ${last} 2)
            math(EXPR j "${i} + 1")
            list(GET arg_STRINGS ${i} key)
            list(GET arg_STRINGS ${j} value)
            foreach(text IN ITEMS "${key}" "${value}")
                _korvan_version_text(bytes length "${text}")
                string(APPEND strings "${bytes}")
                math(EXPR strings_size "${strings_size} + ${length}")
            endforeach()
            math(EXPR string_count "${string_count} + 1")
        endforeach()
    endif()

    # magic 8, size 4, format 2, translation count 2, four halves 16, one translation 4,
    # string table translation 4, string count 2
    math(EXPR block_size "8 + 4 + 2 + 2 + 16 + 4 + 4 + 2 + ${strings_size}")

    string(HEX "KORVANVB" magic_hex)
    string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," block "${magic_hex}")
    foreach(field IN ITEMS "${block_size}:4" "1:2" "1:2" "${file_ms}:4" "${file_ls}:4" "${product_ms}:4"
            "${product_ls}:4" "${arg_LANGUAGE}:2" "${arg_CODE_PAGE}:2" "${arg_LANGUAGE}:2" "${arg_CODE_PAGE}:2"
            "${string_count}:2")
        string(REPLACE ":" ";" field "${field}")
        list(GET field 0 value)
        list(GET field 1 width)
        _korvan_version_le(bytes "${value}" ${width})
        string(APPEND block "${bytes}")
    endforeach()
    string(APPEND block "${strings}")

    set(output "${CMAKE_CURRENT_BINARY_DIR}/${target}_version_block.cpp")
    file(GENERATE OUTPUT "${output}" CONTENT
"// Generated by korvan_embed_version for ${target} (file version ${arg_FILE_VERSION}); do not edit.
// Kept in its own section so that the program file can be read for it without running it.
[[gnu::used, gnu::section(\".korvan_version\")]] static const unsigned char korvanVersionBlock[${block_size}] = {
    ${block}
};
")
    target_sources(${target} PRIVATE "${output}")
endfunction()
