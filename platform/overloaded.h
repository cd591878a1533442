#pragma once
// One visitor out of several lambdas, for std::visit over a PropertyValue.

namespace orva {

template <class... F>
struct Overloaded : F... {
    using F::operator()...;
};
template <class... F>
Overloaded(F...) -> Overloaded<F...>;

}  // namespace orva
