#pragma once

#include <cstddef>
#include <type_traits>
#include <typeinfo>

namespace common {

// Raised by any_cast by reference when the box holds another type.
class bad_any_cast : public std::bad_cast {
public:
    const char* what() const noexcept override { return "bad any cast"; }
};

// A copyable box for one value of any type: D-Bus call arguments reach the method handlers as
// a list of these, and every handler answers one. Extraction checks the exact type: no numeric
// conversion, no sign or width tolerance.
class any {
public:
    any() = default;

    template <typename T, typename = std::enable_if_t<!std::is_same<T, any>::value>>
    any(const T& value)  // NOLINT: implicit, so a handler can return a plain value
        : value_(new T(value)), type_(&typeOf<T>), clone_(&cloneOf<T>), destroy_(&destroyOf<T>) {
        // A literal would be kept as an array (or, decayed, a dangling pointer), not as text.
        static_assert(!std::is_array<T>::value, "box text as std::string");
    }

    // Moving a box copies it: there is no move constructor or move assignment.
    any(const any& other)
        : value_(other.clone_(other.value_)),
          type_(other.type_),
          clone_(other.clone_),
          destroy_(other.destroy_) {}

    any& operator=(const any& other) {
        if (this != &other) {
            destroy_(value_);
            // Empty while the copy is made, should the allocation throw.
            value_ = nullptr;
            type_ = &typeOf<std::nullptr_t>;
            clone_ = &cloneNothing;
            destroy_ = &destroyNothing;
            value_ = other.clone_(other.value_);
            type_ = other.type_;
            clone_ = other.clone_;
            destroy_ = other.destroy_;
        }
        return *this;
    }

    ~any() { destroy_(value_); }

    bool empty() const { return value_ == nullptr; }
    // The held value's type; std::nullptr_t for the empty box.
    const std::type_info& type() const { return type_(); }
    void* data() const { return value_; }

private:
    template <typename T>
    static const std::type_info& typeOf() {
        return typeid(T);
    }
    template <typename T>
    static void* cloneOf(const void* value) {
        return new T(*static_cast<const T*>(value));
    }
    template <typename T>
    static void destroyOf(void* value) {
        delete static_cast<T*>(value);
    }
    static void* cloneNothing(const void*) { return nullptr; }
    static void destroyNothing(void*) {}

    void* value_ = nullptr;
    const std::type_info& (*type_)() = &typeOf<std::nullptr_t>;
    void* (*clone_)(const void*) = &cloneNothing;
    void (*destroy_)(void*) = &destroyNothing;
};

// The held value; throws bad_any_cast when the box holds another type (or nothing).
template <typename T>
T& any_cast(const any& box) {
    if (box.type() != typeid(T)) {
        throw bad_any_cast();
    }
    return *static_cast<T*>(box.data());
}

// The held value, or nullptr when the box holds another type (or nothing). box must not be null.
template <typename T>
const T* any_cast(const any* box) {
    return box->type() == typeid(T) ? static_cast<const T*>(box->data()) : nullptr;
}

}  // namespace common
