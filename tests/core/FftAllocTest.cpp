// A table that cannot be allocated makes construction throw std::bad_alloc and
// release what was already built (LeakSanitizer checks the release).
#include <gtest/gtest.h>

#include <cstdlib>
#include <new>

#include "FFT.h"

namespace {
int failAt = -1, counted = 0;  // the array allocation (counted from 0) to refuse; -1: none
void* Allocate(std::size_t n)
{
    return counted++ == failAt ? nullptr : std::malloc(n ? n : 1);
}
}  // namespace

// Every array form is replaced so that allocation and release stay paired.
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept
{
    return Allocate(n);
}
void* operator new[](std::size_t n)
{
    if (void* p = Allocate(n))
        return p;
    throw std::bad_alloc();
}
void operator delete[](void* p) noexcept
{
    std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept
{
    std::free(p);
}

TEST(FFTConstruction, EachFailedTableThrowsBadAlloc)
{
    for (failAt = 0, counted = 0; failAt < 4; ++failAt, counted = 0)  // reverse, sine, cosine, window
        EXPECT_THROW(FFT{256}, std::bad_alloc) << "table " << failAt;
    failAt = -1;
    FFT fft(256);
    EXPECT_EQ(counted, 4);
}
