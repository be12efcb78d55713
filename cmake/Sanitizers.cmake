# OMBRIX_SANITIZE=ON builds everything with AddressSanitizer and UndefinedBehaviorSanitizer.
option(OMBRIX_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
if(OMBRIX_SANITIZE)
    add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
    add_link_options(-fsanitize=address,undefined)
    if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
        # GCC's shared libubsan keeps a report file of its own that log_path never reaches
        # (its set-up call lands in libasan), so undefined-behaviour reports would always go to
        # stderr, where a child process's are lost. Linked in statically, the two runtimes share
        # one report file.
        add_link_options(-static-libasan -static-libubsan)
    endif()
endif()
