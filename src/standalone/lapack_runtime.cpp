// What the statically linked reference LAPACK and BLAS take from outside: their handlers of
// an illegal argument and the one Fortran runtime routine the called routines use. The
// reference handlers print through the Fortran runtime (or stdio, which a module cannot
// reference without relocations) and stop the process; these return, so a LAPACK routine
// returns INFO = -i, which the fits check and raise as NumPy and SciPy do. The CBLAS calls
// take shapes the core fixes, so their handler is never reached.

#include <cstddef>
#include <cstring>

extern "C" {

void xerbla_(const char* /*routine*/, const int* /*position*/, std::size_t /*routine_len*/) {}

void cblas_xerbla(int /*position*/, const char* /*routine*/, const char* /*format*/, ...) {}

// Fortran's DEST = S1 // S2 (dormqr passes SIDE // TRANS to ilaenv): the two strings one
// after the other, cut to the destination's length or padded with blanks to it.
void _gfortran_concat_string(std::size_t dest_len, char* dest, std::size_t len1, const char* s1,
                             std::size_t len2, const char* s2) {
  const std::size_t n1 = len1 < dest_len ? len1 : dest_len;
  std::memcpy(dest, s1, n1);
  const std::size_t n2 = len2 < dest_len - n1 ? len2 : dest_len - n1;
  std::memcpy(dest + n1, s2, n2);
  std::memset(dest + n1 + n2, ' ', dest_len - n1 - n2);
}

}  // extern "C"
