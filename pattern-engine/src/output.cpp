#include "pattern_engine/output.hpp"

#include <type_traits>
#include <variant>

namespace pattern_engine::output {

std::string OutputError::display() const {
    return (kind == Kind::Midi ? "MIDI error: " : "OSC error: ") + text;
}

Result dispatch(const event::Event<>& event, OutputSink* midi, OutputSink* osc) {
    OutputSink* sink = std::visit(
        [&](const auto& value) -> OutputSink* {
            using T = std::decay_t<decltype(value)>;
            if constexpr (std::is_same_v<T, event::Note> || std::is_same_v<T, event::Cc>)
                return midi;
            else if constexpr (std::is_same_v<T, event::Osc>)
                return osc;
            else
                return nullptr;  // Control values are for the audio graph
        },
        static_cast<const event::Value::variant&>(event.value));
    if (!sink) return {};
    return sink->send(event);
}

}  // namespace pattern_engine::output
