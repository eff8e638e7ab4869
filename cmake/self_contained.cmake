# The wheels' build: a module that needs nothing from the machine it is installed on but the
# C library and libgcc_s. OpenCV comes from the static build named by OpenCV_DIR, LAPACK and
# BLAS from the reference implementation's static libraries, libstdc++ is linked in, and
# only PyInit_torvel is exported, so nothing clashes with the OpenCV, BLAS or C++ runtime
# that other modules of the same process load.
#
#   TORVEL_GLIBC_STUBS  a folder whose libc.so, libm.so, ... are linker scripts naming the
#                       interface stubs of an older glibc (scripts/wheel makes them), so the
#                       module binds to no symbol version newer than that glibc's

foreach(lib IN LISTS OpenCV_LIBS)
  get_target_property(type ${lib} TYPE)
  if(NOT type STREQUAL "STATIC_LIBRARY")
    message(FATAL_ERROR "TORVEL_SELF_CONTAINED needs OpenCV built as static libraries; "
      "OpenCV_DIR=${OpenCV_DIR} has a ${type} ${lib}")
  endif()
endforeach()

# The reference implementation's own folders first: the plain libblas.a and liblapack.a
# may be another implementation's, chosen by the distribution's alternatives.
set(_torvel_libdirs /usr/lib/${CMAKE_LIBRARY_ARCHITECTURE} /usr/lib64 /usr/lib)
find_library(TORVEL_STATIC_LAPACK NAMES liblapack.a PATHS ${_torvel_libdirs}
             PATH_SUFFIXES lapack "" NO_DEFAULT_PATH REQUIRED)
find_library(TORVEL_STATIC_BLAS NAMES libblas.a PATHS ${_torvel_libdirs}
             PATH_SUFFIXES blas "" NO_DEFAULT_PATH REQUIRED)
# The core links LAPACK::LAPACK; made here first, it is these, as find_package(LAPACK)
# leaves a target of that name as it finds it.
add_library(LAPACK::LAPACK INTERFACE IMPORTED GLOBAL)
set_target_properties(LAPACK::LAPACK PROPERTIES
  INTERFACE_LINK_LIBRARIES "${TORVEL_STATIC_LAPACK};${TORVEL_STATIC_BLAS}")

# Sections per function and per object, so the linker keeps only what is called.
add_compile_options(-ffunction-sections -fdata-sections)

set(TORVEL_GLIBC_STUBS "" CACHE PATH "Folder of linker scripts naming an older glibc's stubs")

# The module's link: the pieces of src/standalone/, the C++ runtime inside, dead sections
# dropped, one symbol exported.
function(torvel_link_self_contained target)
  target_link_libraries(${target} PRIVATE torvel_lapack_runtime)
  set(exports ${PROJECT_SOURCE_DIR}/cmake/module_exports.map)
  target_link_options(${target} PRIVATE -static-libstdc++ -Wl,--gc-sections
    -Wl,--exclude-libs,ALL -Wl,--version-script=${exports})
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${exports})
  if(TORVEL_GLIBC_STUBS)
    target_link_options(${target} BEFORE PRIVATE -L${TORVEL_GLIBC_STUBS})
    target_link_libraries(${target} PRIVATE torvel_glibc_compat)
  endif()
endfunction()
