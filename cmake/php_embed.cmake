# The PHP 8.2 embed SAPI from Debian (libphp8.2-embed, headers from php8.2-dev).
find_program(PHP_CONFIG NAMES php-config8.2 php-config REQUIRED)
execute_process(COMMAND ${PHP_CONFIG} --includes
                OUTPUT_VARIABLE _php_includes OUTPUT_STRIP_TRAILING_WHITESPACE)
separate_arguments(_php_includes UNIX_COMMAND "${_php_includes}")
set(PHP_EMBED_INCLUDE_DIRS "")
foreach(_flag IN LISTS _php_includes)
    string(REGEX REPLACE "^-I" "" _dir "${_flag}")
    list(APPEND PHP_EMBED_INCLUDE_DIRS "${_dir}")
endforeach()
find_library(PHP_EMBED_LIBRARY NAMES php8.2 php REQUIRED)
add_library(PhpEmbed::PhpEmbed UNKNOWN IMPORTED)
set_target_properties(PhpEmbed::PhpEmbed PROPERTIES
    IMPORTED_LOCATION "${PHP_EMBED_LIBRARY}"
    INTERFACE_SYSTEM_INCLUDE_DIRECTORIES "${PHP_EMBED_INCLUDE_DIRS}"
    INTERFACE_INCLUDE_DIRECTORIES "${PHP_EMBED_INCLUDE_DIRS}")
