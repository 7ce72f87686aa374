// The only place that uses nanobind's internals (nb::detail), which change
// between major versions: pyproject.toml pins the major version these were
// written for (nanobind 3).
//
// - has_arg_defaults<obj>: a parameter of type pyclass::obj accepts None even
//   where its nb::arg is not marked .none(), as a Python parameter does.
// - check_arg_count: that specialization also switches off nanobind's
//   compile-time check that the nb::arg annotations match the parameters;
//   this restores it for the class builder's functions.
#pragma once
#include <nanobind/nanobind.h>

#include <cstddef>
#include <type_traits>

template <> struct nanobind::detail::has_arg_defaults<pyclass::obj> : std::true_type {};

namespace pyclass::detail {
template <typename F, typename... Extra> constexpr bool check_arg_count(size_t self_params) {
    using am = nanobind::detail::analyze_method<decltype(&std::remove_reference_t<F>::operator())>;
    constexpr size_t n_ann = ((size_t)nanobind::detail::arg_traits<Extra>::is_arg + ... + 0);
    if (n_ann != 0 && n_ann + self_params != am::argc)
        throw "number of nb::arg annotations does not match the parameters";
    return true;
}
} // namespace pyclass::detail
