// The GUI side as the host drives it: pin values by description index, the GUIHOST_
// requests, and the synchronous (re-entrant, depth-guarded) change notifications.
#include <cstring>

#include "kvhost/host.h"
#include "values.h"

namespace kvhost {

namespace {

const char kEmpty[] = "";

bool IsFloatType(int32_t datatype) {
    return datatype == DT_REAL32 || datatype == DT_FSAMPLE;
}

// UTF-8 to UTF-16; a malformed byte becomes U+FFFD.
std::u16string ToUtf16(const std::string& s) {
    std::u16string out;
    out.reserve(s.size());
    std::size_t i = 0;
    while (i < s.size()) {
        const auto c = static_cast<unsigned char>(s[i]);
        uint32_t cp = 0xFFFD;
        std::size_t len = 1;
        if (c < 0x80) {
            cp = c;
        } else if ((c & 0xE0) == 0xC0) {
            len = 2;
        } else if ((c & 0xF0) == 0xE0) {
            len = 3;
        } else if ((c & 0xF8) == 0xF0) {
            len = 4;
        }
        if (len > 1) {
            bool ok = i + len <= s.size();
            uint32_t v = c & (0x7F >> len);
            for (std::size_t k = 1; ok && k < len; ++k) {
                const auto cc = static_cast<unsigned char>(s[i + k]);
                ok = (cc & 0xC0) == 0x80;
                v = (v << 6) | (cc & 0x3F);
            }
            static const uint32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
            if (ok && v >= kMin[len] && v <= 0x10FFFF && (v < 0xD800 || v > 0xDFFF)) {
                cp = v;
            } else {
                len = 1;
            }
        }
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(cp));
        }
        i += len;
    }
    return out;
}

}  // namespace

intptr_t GuiWatcher::Request(GuiInstance& gui, int32_t opcode, int32_t index, int32_t value,
                             void* ptr, float opt) {
    return gui.Answer(opcode, index, value, ptr, opt);
}

GuiInstance::GuiInstance(std::shared_ptr<Plugin> plugin) : plugin_(std::move(plugin)) {
    if (!plugin_) throw Error("GUI instance without a plug-in");
    {
        // The descriptions come from the DSP side, as the real host learns them.
        DspInstance probe(plugin_);
        probe.Open();
        pins_ = probe.Pins();
    }
    Make();
}

GuiInstance::GuiInstance(std::shared_ptr<Plugin> plugin, std::vector<PinInfo> pins)
    : plugin_(std::move(plugin)), pins_(std::move(pins)) {
    if (!plugin_) throw Error("GUI instance without a plug-in");
    Make();
}

void GuiInstance::Make() {
    for (PinInfo& p : pins_) p.variable = nullptr;  // belonged to a DSP instance
    values_.resize(pins_.size());
    for (std::size_t i = 0; i < pins_.size(); ++i) {
        const PinInfo& pin = pins_[i];
        Value& v = values_[i];
        v.datatype = pin.datatype;
        if (pin.datatype == DT_STRING) {
            v.text = pin.default_value.value_or("");
        } else if (IsFloatType(pin.datatype)) {
            const double d = DefaultNumber(pin);
            v.real = static_cast<float>(pin.datatype == DT_FSAMPLE ? d * 0.1 : d);
        } else {
            v.whole = ClampTo<int32_t>(DefaultNumber(pin));
        }
    }
    void* made = plugin_->MakeModule()(0, KV_KIND_GUI, &GuiInstance::Callback, this);
    if (made == nullptr) throw NoGuiSide(QuoteName(plugin_->Name()) + " has no GUI side");
    record_ = static_cast<KVGuiHostRecord*>(made);
    if (record_->magic != KV_GUI_MAGIC || record_->format != KV_RECORD_FORMAT ||
        record_->dispatch == nullptr) {
        record_ = nullptr;
        throw LoadError(QuoteName(plugin_->Name()) +
                        ": makeModule answered something that is not a "
                        "GUI record");
    }
    if (record_->host_reference != this) {
        record_ = nullptr;
        throw LoadError(QuoteName(plugin_->Name()) +
                        ": the GUI record does not hold the host reference");
    }
    log_.reserve(256);
}

GuiInstance::~GuiInstance() {
    Close();
}

intptr_t GuiInstance::Close() {
    if (record_ == nullptr) return 0;
    KVGuiHostRecord* record = record_;
    record_ = nullptr;
    return record->dispatch(record, GUI_CLOSE, 0, 0, nullptr, 0.0f);
}

int32_t GuiInstance::PinIndex(std::string_view name) const {
    for (const PinInfo& p : pins_) {
        if (p.name == name) return p.index;
    }
    throw Error(QuoteName(plugin_->Name()) + " has no pin " + QuoteName(name));
}

GuiInstance::Value& GuiInstance::CheckedValue(int32_t index) {
    if (index < 0 || index >= static_cast<int32_t>(values_.size())) {
        throw Error(QuoteName(plugin_->Name()) + " has no pin " + std::to_string(index));
    }
    return values_[static_cast<std::size_t>(index)];
}

const GuiInstance::Value& GuiInstance::CheckedValue(int32_t index) const {
    return const_cast<GuiInstance*>(this)->CheckedValue(index);
}

intptr_t GuiInstance::Dispatch(int32_t opcode, int32_t index, int32_t value, void* ptr, float opt) {
    if (record_ == nullptr) return 0;
    return record_->dispatch(record_, opcode, index, value, ptr, opt);
}

void GuiInstance::Init(bool flag) {
    Dispatch(GUI_INIT, flag ? 1 : 0);
}

void GuiInstance::Restore(int32_t index, const std::string& text) {
    StoreText(CheckedValue(index), text);
}

bool GuiInstance::StoreText(Value& v, const std::string& text) {
    if (v.datatype == DT_STRING) {
        if (v.text == text) return false;
        v.text = text;
        return true;
    }
    const std::size_t index = static_cast<std::size_t>(&v - values_.data());
    const double d = PinValueFromText(pins_[index], text).value_or(0.0);
    return IsFloatType(v.datatype) ? StoreFloat(v, static_cast<float>(d))
                                   : StoreInt(v, ClampTo<int32_t>(d));
}

bool GuiInstance::StoreFloat(Value& v, float f) {
    if (v.datatype == DT_STRING) return StoreText(v, FormatFloat(f));
    if (!IsFloatType(v.datatype)) return StoreInt(v, ClampTo<int32_t>(f));
    if (std::memcmp(&v.real, &f, sizeof f) == 0) return false;
    v.real = f;
    return true;
}

bool GuiInstance::StoreInt(Value& v, int32_t i) {
    if (v.datatype == DT_STRING) return StoreText(v, std::to_string(i));
    if (IsFloatType(v.datatype)) return StoreFloat(v, static_cast<float>(i));
    if (v.whole == i) return false;
    v.whole = i;
    return true;
}

void GuiInstance::Notify(int32_t index) {
    // A module that writes pins from its own notification without a guard would recurse
    // for ever; the host stops passing notifications on at a fixed depth.
    if (depth_ >= kMaxDepth) {
        ++depth_limit_hits_;
        if (watcher_ != nullptr) watcher_->DepthLimit(index);
        return;
    }
    ++depth_;
    ++notifications_;
    Dispatch(GUI_PIN_CHANGED, index);
    --depth_;
}

void GuiInstance::Written(int32_t index, bool changed) {
    if (!changed) return;
    Notify(index);
    if (write_listener_) write_listener_(index);
}

void GuiInstance::SetText(int32_t index, const std::string& text) {
    Written(index, StoreText(CheckedValue(index), text));
}
void GuiInstance::SetFloat(int32_t index, float value) {
    Written(index, StoreFloat(CheckedValue(index), value));
}
void GuiInstance::SetInt(int32_t index, int32_t value) {
    Written(index, StoreInt(CheckedValue(index), value));
}

void GuiInstance::Receive(int32_t index, const std::string& text, bool always_notify) {
    if (StoreText(CheckedValue(index), text) || always_notify) Notify(index);
}
void GuiInstance::ReceiveFloat(int32_t index, float value, bool always_notify) {
    if (StoreFloat(CheckedValue(index), value) || always_notify) Notify(index);
}
void GuiInstance::ReceiveInt(int32_t index, int32_t value, bool always_notify) {
    if (StoreInt(CheckedValue(index), value) || always_notify) Notify(index);
}

std::string GuiInstance::Text(int32_t index) const {
    const Value& v = CheckedValue(index);
    if (v.datatype == DT_STRING) return v.text;
    if (IsFloatType(v.datatype)) return FormatFloat(v.real);
    return std::to_string(v.whole);
}

float GuiInstance::Float(int32_t index) const {
    const Value& v = CheckedValue(index);
    if (v.datatype == DT_STRING) return static_cast<float>(std::atof(v.text.c_str()));
    if (IsFloatType(v.datatype)) return v.real;
    return static_cast<float>(v.whole);
}

int32_t GuiInstance::Int(int32_t index) const {
    const Value& v = CheckedValue(index);
    if (v.datatype == DT_STRING) return std::atoi(v.text.c_str());
    if (IsFloatType(v.datatype)) return ClampTo<int32_t>(v.real);
    return v.whole;
}

void GuiInstance::SetWriteListener(std::function<void(int32_t)> listener) {
    write_listener_ = std::move(listener);
}

intptr_t GuiInstance::Callback(void* record, int32_t opcode, int32_t index, int32_t value,
                               void* ptr, float opt) {
    if (record == nullptr) return 0;
    auto* rec = static_cast<KVGuiHostRecord*>(record);
    if (rec->magic != KV_GUI_MAGIC || rec->host_reference == nullptr) return 0;
    auto* self = static_cast<GuiInstance*>(rec->host_reference);
    try {
        if (self->watcher_ != nullptr) {
            return self->watcher_->Request(*self, opcode, index, value, ptr, opt);
        }
        return self->Answer(opcode, index, value, ptr, opt);
    } catch (...) {
        return 0;  // nothing unwinds through the plug-in
    }
}

intptr_t GuiInstance::Answer(int32_t opcode, int32_t index, int32_t value, void* ptr, float opt) {
    const char* put = opcode == GUIHOST_PUT_TEXT ? static_cast<const char*>(ptr) : nullptr;
    if (logging_) {
        log_.push_back({opcode, index, value, opt, put != nullptr ? put : "", depth_});
    }
    const bool valid = index >= 0 && index < static_cast<int32_t>(values_.size());
    Value* v = valid ? &values_[static_cast<std::size_t>(index)] : nullptr;
    switch (opcode) {
        case GUIHOST_PUT_TEXT:
            if (v != nullptr) Written(index, StoreText(*v, put != nullptr ? put : ""));
            return 0;
        case GUIHOST_GET_TEXT:
            if (v == nullptr) return reinterpret_cast<intptr_t>(kEmpty);
            if (v->datatype != DT_STRING) {
                v->shown = Text(index);
                return reinterpret_cast<intptr_t>(v->shown.c_str());
            }
            return reinterpret_cast<intptr_t>(v->text.c_str());
        case GUIHOST_GET_VALUE: {
            if (ptr == nullptr) return 0;
            if (v != nullptr && IsFloatType(v->datatype)) {
                std::memcpy(ptr, &v->real, 4);
            } else {
                const int32_t i = v != nullptr ? Int(index) : 0;
                std::memcpy(ptr, &i, 4);
            }
            return 0;
        }
        case GUIHOST_PUT_VALUE:
            if (v == nullptr) return 0;
            Written(index, IsFloatType(v->datatype) ? StoreFloat(*v, opt) : StoreInt(*v, value));
            return 0;
        case GUIHOST_GET_WTEXT: {
            const std::u16string wide = valid ? ToUtf16(Text(index)) : std::u16string();
            const auto needed = static_cast<intptr_t>(wide.size() + 1);
            if (value <= 0 || ptr == nullptr) return needed;
            const std::size_t units =
                std::min<std::size_t>(static_cast<std::size_t>(value) - 1, wide.size());
            auto* out = static_cast<char16_t*>(ptr);
            std::memcpy(out, wide.data(), units * sizeof(char16_t));
            out[units] = u'\0';
            return static_cast<intptr_t>(units + 1);
        }
        case GUIHOST_REGISTER:
        case GUIHOST_OP8:
        case GUIHOST_OP18:
        case GUIHOST_OP19:
        case GUIHOST_OP20:
        default:
            return 0;
    }
}

}  // namespace kvhost
