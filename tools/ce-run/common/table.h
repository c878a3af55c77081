// Tables indexed by an enum. Each row names the enum value it stands for,
// and in_order proves at compile time that the table holds one row for
// each value, in the enum's order: a value added to the enum, or a row
// added, moved or left out, fails to compile rather than misaligning the
// table in silence.

#ifndef CE_RUN_TABLE_H
#define CE_RUN_TABLE_H

#include <cstddef>

// Whether rows has count rows and row i names value i (its member key).
template <typename Row, std::size_t N, typename Key>
constexpr bool in_order(const Row (&rows)[N], std::size_t count, Key Row::*key)
{
    if (N != count)
        return false;
    for (std::size_t i = 0; i < N; i++) {
        if (std::size_t(rows[i].*key) != i)
            return false;
    }
    return true;
}

#endif
