// Settles, for every unit that includes the library's headers, a choice asio
// otherwise makes per unit: how it allocates handler memory (aligned_alloc or
// operator new) depends on whether a standard header came before asio. Units
// that disagree free one kind of memory with the other's function. The build
// passes the same definition to the library and to users of its CMake package
// and pkg-config file; this covers units that include these headers first.
#pragma once

#ifndef ASIO_DISABLE_STD_ALIGNED_ALLOC
#define ASIO_DISABLE_STD_ALIGNED_ALLOC 1
#endif
