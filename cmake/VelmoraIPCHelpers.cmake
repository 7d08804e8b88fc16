# Warning and sanitizer settings shared by every target of the project.

function(velmoraipc_set_warnings target)
    if(CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
        target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wnon-virtual-dtor
                                                 -Woverloaded-virtual)
        if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
            target_compile_options(${target} PRIVATE -Wshadow=local)
        else()
            target_compile_options(${target} PRIVATE -Wshadow-uncaptured-local)
        endif()
        if(VELMORAIPC_WERROR)
            target_compile_options(${target} PRIVATE -Werror)
        endif()
    elseif(MSVC)
        target_compile_options(${target} PRIVATE /W4 /permissive-)
        if(VELMORAIPC_WERROR)
            target_compile_options(${target} PRIVATE /WX)
        endif()
    endif()
endfunction()

function(velmoraipc_set_sanitizers target)
    if(VELMORAIPC_SANITIZERS)
        list(JOIN VELMORAIPC_SANITIZERS "," _san)
        target_compile_options(${target} PRIVATE -fsanitize=${_san} -fno-sanitize-recover=all
                                                 -fno-omit-frame-pointer)
        target_link_options(${target} PRIVATE -fsanitize=${_san})
    endif()
endfunction()

# Qt strictness settings for our own code.
function(velmoraipc_set_qt_strict target)
    target_compile_definitions(${target} PRIVATE QT_NO_CAST_FROM_ASCII QT_NO_CAST_TO_ASCII
        QT_NO_KEYWORDS QT_NO_FOREACH QT_USE_QSTRINGBUILDER QT_NO_NARROWING_CONVERSIONS_IN_CONNECT
        QT_DISABLE_DEPRECATED_BEFORE=0x060400)
endfunction()

function(velmoraipc_target_defaults target)
    velmoraipc_set_warnings(${target})
    velmoraipc_set_sanitizers(${target})
    velmoraipc_set_qt_strict(${target})
endfunction()
