// Binding-layer guard for `self`: refuses instances whose native object was
// never constructed.
//
// A Python instance made by `Cls.__new__(Cls)` without `__init__` has no native
// object behind it. pybind11's generic caster would lazily allocate raw,
// unconstructed storage for it and hand that to the method, which then reads
// garbage (or, for a virtual call, jumps through a garbage vtable pointer).
// Binding a method's `self` as `Initialised<const T>` checks first that every
// native part of the instance has a constructed holder, and raises TypeError
// otherwise. The generated signature is unchanged: `self` still reads as the
// registered class of T.
#pragma once

#include <pybind11/pybind11.h>

#include <string>
#include <type_traits>

template <typename T>
struct Initialised {
    T *ptr;
    T *operator->() const { return ptr; }
    T &operator*() const { return *ptr; }
};

namespace pybind11 {
namespace detail {

template <typename T>
struct type_caster<Initialised<T>> {
private:
    using base_type = std::remove_const_t<T>;
    make_caster<base_type> inner_;

public:
    static constexpr auto name = make_caster<base_type>::name;

    template <typename U>
    using cast_op_type = Initialised<T>;

    bool load(handle src, bool convert) {
        // The registered type the generic caster looked up when it was constructed.
        const type_info *tinfo = inner_.typeinfo;
        if (tinfo != nullptr && src && PyObject_TypeCheck(src.ptr(), tinfo->type)) {
            // An instance of a registered class: every native part of it must
            // have been constructed before any of them is read.
            values_and_holders vhs(reinterpret_cast<instance *>(src.ptr()));
            for (auto &vh : vhs) {
                if (!vh.holder_constructed()) {
                    throw type_error(std::string(Py_TYPE(src.ptr())->tp_name)
                                     + " object was never initialised: its __init__ did not run");
                }
            }
        }
        return inner_.load(src, convert);
    }

    operator Initialised<T>() { return Initialised<T>{&static_cast<base_type &>(inner_)}; }

    // Only ever used for arguments; nothing returns an Initialised<T>.
    static handle cast(const Initialised<T> &, return_value_policy, handle) = delete;
};

}  // namespace detail
}  // namespace pybind11
