#pragma once

#include <map>
#include <stdexcept>
#include <vector>

namespace brivane {

// Controls that share a name and differ by an index: Command5(2), Label2(11), Label3(1).
template <typename T> class ControlArray {
public:
    void add(int index, T* control) { m_controls[index] = control; }
    T* operator()(int index) const {
        const auto it = m_controls.find(index);
        if (it == m_controls.end())
            throw std::out_of_range("no control with that index");
        return it->second;
    }
    bool contains(int index) const { return m_controls.count(index) != 0; }
    int indexOf(const T* control) const {
        for (const auto& [index, member] : m_controls)
            if (member == control)
                return index;
        return -1;
    }
    std::vector<int> indices() const {
        std::vector<int> out;
        for (const auto& entry : m_controls)
            out.push_back(entry.first);
        return out;
    }

private:
    std::map<int, T*> m_controls;
};

} // namespace brivane
