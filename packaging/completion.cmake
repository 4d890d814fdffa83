# Shell completion: packaging/completion/gnssctl, gnssctl's bash completion,
# installed where bash-completion loads completions on demand: its
# pkg-config completionsdir (below the install prefix when it lies below
# bash-completion's own prefix), else share/bash-completion/completions.
include(GNUInstallDirs)

set(gnss_completions_default ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
find_package(PkgConfig QUIET)
if(PKG_CONFIG_FOUND)
    pkg_get_variable(gnss_bc_completionsdir bash-completion completionsdir)
    pkg_get_variable(gnss_bc_prefix bash-completion prefix)
    if(gnss_bc_completionsdir AND gnss_bc_prefix
       AND gnss_bc_completionsdir MATCHES "^${gnss_bc_prefix}/(.+)$")
        set(gnss_completions_default ${CMAKE_MATCH_1})
    elseif(gnss_bc_completionsdir)
        set(gnss_completions_default ${gnss_bc_completionsdir})
    endif()
endif()
set(GNSS_BASH_COMPLETION_DIR ${gnss_completions_default} CACHE PATH
    "Where bash completions are installed (relative to the install prefix, or absolute)")
install(FILES ${CMAKE_CURRENT_LIST_DIR}/completion/gnssctl DESTINATION ${GNSS_BASH_COMPLETION_DIR})

# Partial command lines complete as they should, and the completion knows
# every command and option that gnssctl's help gives.
if(TARGET gnssctl)
    add_test(NAME gnssctl_completion
        COMMAND bash ${PROJECT_SOURCE_DIR}/tests/packaging/completion_test.sh
                ${CMAKE_CURRENT_LIST_DIR}/completion/gnssctl $<TARGET_FILE:gnssctl>)
    set_tests_properties(gnssctl_completion PROPERTIES TIMEOUT 120)
endif()
