# Byte-identical builds of one commit in any folder: no source or build paths in the objects
# (__FILE__, debug info), no build ID that hashes them. Dates come from SOURCE_DATE_EPOCH,
# which the compiler reads itself (scripts/dist.sh sets it from the commit).
add_compile_options(-ffile-prefix-map=${CMAKE_SOURCE_DIR}/=
                    -ffile-prefix-map=${CMAKE_BINARY_DIR}/=build/)
add_link_options(-Wl,--build-id=none)
