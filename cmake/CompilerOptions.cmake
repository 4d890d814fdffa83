# Warnings and sanitizers for every target of the project.
#
# GNSS_SANITIZE selects one sanitizer build:
#   address  - AddressSanitizer with UndefinedBehaviorSanitizer (leaks included)
#   thread   - ThreadSanitizer
#   (empty)  - none
set(GNSS_SANITIZE "" CACHE STRING "Sanitizer build: address (address+undefined), thread, or empty")
set_property(CACHE GNSS_SANITIZE PROPERTY STRINGS "" address thread)

add_compile_options(-Wall -Wextra -Werror)
# GCC 12's -Wrestrict reports overlaps inside libstdc++'s own std::string
# moves and copies at -O2 that cannot happen (GCC bug 105329); it is fixed in
# later releases.
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
    add_compile_options(-Wno-restrict)
endif()

if(GNSS_SANITIZE STREQUAL "address")
    add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=undefined
                        -fno-omit-frame-pointer)
    add_link_options(-fsanitize=address,undefined)
elseif(GNSS_SANITIZE STREQUAL "thread")
    add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
    add_link_options(-fsanitize=thread)
elseif(NOT GNSS_SANITIZE STREQUAL "")
    message(FATAL_ERROR "GNSS_SANITIZE must be address, thread or empty, not '${GNSS_SANITIZE}'")
endif()

# GNSS_FUZZ builds the libFuzzer targets under fuzz/ (clang only): every
# library is instrumented for coverage, the fuzz targets link libFuzzer.
option(GNSS_FUZZ "Build the libFuzzer targets (needs clang)" OFF)
if(GNSS_FUZZ)
    if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
        message(FATAL_ERROR "GNSS_FUZZ needs clang (CXX=clang++)")
    endif()
    add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer)
    add_link_options(-fsanitize=address,undefined)
endif()
