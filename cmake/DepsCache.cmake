# Where the dependencies built from Debian's sources are kept, outside the
# repo: -DTVUT_DEPS_CACHE=..., else the environment's TVUT_DEPS_CACHE, else
# /var/cache/tvut-deps (the scripts' default).
if(NOT TVUT_DEPS_CACHE)
    if(DEFINED ENV{TVUT_DEPS_CACHE} AND NOT "$ENV{TVUT_DEPS_CACHE}" STREQUAL "")
        set(TVUT_DEPS_CACHE "$ENV{TVUT_DEPS_CACHE}")
    else()
        set(TVUT_DEPS_CACHE /var/cache/tvut-deps)
    endif()
endif()
