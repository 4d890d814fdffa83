# Man pages: packaging/man/<program>.<section>.scd, written in scdoc, become
# <program>.<section> in the build tree's packaging/man/ when scdoc is found
# (Debian package scdoc), and are installed to share/man/man<section>.
# Without scdoc nothing is built or installed, and the man_pages test says so.
include(GNUInstallDirs)

find_program(SCDOC scdoc)
file(GLOB gnss_man_sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/man/*.scd)
list(SORT gnss_man_sources)
set(gnss_man_dir ${CMAKE_CURRENT_BINARY_DIR}/man)

if(SCDOC)
    set(gnss_man_pages)
    foreach(source IN LISTS gnss_man_sources)
        get_filename_component(page ${source} NAME_WLE)  # gnssd.8
        string(REGEX REPLACE "^.*\\.([1-9])$" "\\1" section ${page})
        set(output ${gnss_man_dir}/${page})
        # scdoc reads standard input only.
        add_custom_command(
            OUTPUT ${output}
            COMMAND ${CMAKE_COMMAND} -E make_directory ${gnss_man_dir}
            COMMAND sh -c "\"$0\" < \"$1\" > \"$2\"" ${SCDOC} ${source} ${output}
            DEPENDS ${source}
            COMMENT "Writing the man page ${page}"
            VERBATIM)
        list(APPEND gnss_man_pages ${output})
        install(FILES ${output} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
    endforeach()
    add_custom_target(man_pages ALL DEPENDS ${gnss_man_pages})
else()
    message(STATUS "scdoc not found: the man pages are neither built nor installed")
endif()

# Each page renders without a warning from groff, and names every option its
# program's --help lists (gnssctl: every command's too), so a page cannot fall
# behind its program.
set(gnss_man_programs)
foreach(program IN ITEMS gnssd gnssctl gnssfeed modemsim)
    if(TARGET ${program})
        list(APPEND gnss_man_programs ${program}=$<TARGET_FILE:${program}>)
    endif()
endforeach()
add_test(NAME man_pages
    COMMAND bash ${PROJECT_SOURCE_DIR}/tests/packaging/man_pages_test.sh
            ${gnss_man_dir} ${gnss_man_programs})
set_tests_properties(man_pages PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 120)
