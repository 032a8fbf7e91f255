# Project-wide compiler flags: warnings everywhere, bounds-checked standard containers,
# sanitizers on request.
if(MSVC)
    add_compile_options(/W4)
else()
    add_compile_options(-Wall -Wextra -Wshadow -Wconversion -Wold-style-cast)
    if(QUILLON_WERROR)
        add_compile_options(-Werror)
    endif()
    # An index past a std::array or std::vector stops the program instead of writing a byte
    # that could reach the inverter.
    add_compile_definitions(_GLIBCXX_ASSERTIONS)
endif()

if(QUILLON_SANITIZE)
    add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=undefined
                        -fno-omit-frame-pointer)
    add_link_options(-fsanitize=address,undefined)
endif()
