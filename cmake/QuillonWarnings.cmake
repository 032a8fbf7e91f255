# Project-wide compiler flags: warnings everywhere, sanitizers on request.
if(MSVC)
    add_compile_options(/W4)
else()
    add_compile_options(-Wall -Wextra -Wshadow -Wconversion -Wold-style-cast)
    if(QUILLON_WERROR)
        add_compile_options(-Werror)
    endif()
endif()

if(QUILLON_SANITIZE)
    add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=undefined
                        -fno-omit-frame-pointer)
    add_link_options(-fsanitize=address,undefined)
endif()
