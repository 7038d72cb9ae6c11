// Refusing objects whose __init__ never ran. `Class.__new__(Class)` makes an instance whose
// native value was never constructed; pybind11 would hand methods freshly allocated,
// unconstructed storage for it. Every bound class gets a caster that raises TypeError for
// such an instance before any native code sees it.
#pragma once

#include <string>

#include <pybind11/pybind11.h>

namespace pybind11::detail {

template <class T>
class initialized_caster : public type_caster_base<T> {
public:
    bool load(handle src, bool convert) {
        if (src && this->typeinfo && PyObject_TypeCheck(src.ptr(), this->typeinfo->type)) {
            auto* inst = reinterpret_cast<instance*>(src.ptr());
            const value_and_holder vh = inst->get_value_and_holder(this->typeinfo, false);
            if (vh.inst != nullptr && !vh.holder_constructed()) {
                throw type_error(std::string(Py_TYPE(src.ptr())->tp_name) +
                                 " object is not initialized: its __init__ was never called");
            }
        }
        return type_caster_base<T>::load(src, convert);
    }
};

}  // namespace pybind11::detail

// Declares the checking caster for `T`; must come before any binding code that converts
// a `T` in the same source file.
#define MOLVANE_REFUSE_UNINITIALIZED(T)                     \
    namespace pybind11::detail {                            \
    template <>                                             \
    class type_caster<T> : public initialized_caster<T> {}; \
    }
