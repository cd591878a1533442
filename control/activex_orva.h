#pragma once
// The control object: eight properties, five methods, three events, the
// panel, three timers and the serial port object of one instance. It runs by
// itself from creation on: Timer1 and Timer3 start enabled, and every tick
// arrives on the thread that created it.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "acquisition/control_parts.h"
#include "acquisition/reading_record.h"
#include "acquisition/control_events.h"
#include "acquisition/cycle_observer.h"
#include "acquisition/property_record.h"
#include "panel/panel_model.h"
#include "platform/interval_timer.h"
#include "platform/locale.h"
#include "platform/property_bag.h"
#include "platform/serial_port.h"
#include "platform/user_notice.h"

namespace orva {

// What a platform gives one control instance. The referenced services
// outlive the control.
struct ControlPlatform {
    std::unique_ptr<SerialPort> port;
    TimerFactory& timers;
    UserNotice& notice;
    const Locale& locale;
    Trace* trace = nullptr;  // the wire trace; outlives the control
};

class ActivexORVA {
public:
    static constexpr int kTimer1Interval = 300;
    static constexpr int kTimer2Interval = 100;
    static constexpr int kTimer3Interval = 100;

    // Creation: the property defaults, then Init_VC, then the timers start.
    // A saved instance is then given its values with ReadProperties.
    explicit ActivexORVA(ControlPlatform platform);
    ~ActivexORVA();
    ActivexORVA(const ActivexORVA&) = delete;
    ActivexORVA& operator=(const ActivexORVA&) = delete;

    void setEventSink(ControlEvents* sink);
    void setPropertyChangeSink(PropertyChangeSink* sink) { propertyChange_ = sink; }
    // The host's view of the cycle (see acquisition/cycle_observer.h); it
    // outlives the control or is taken off first.
    void setCycleObserver(CycleObserver* observer) { observer_ = observer; }

    // Properties. A write stores the value unchanged, then notifies the host.
    std::int16_t MinFixVes() const { return properties_.MinFixVes; }
    std::int16_t DecPoint() const { return properties_.DecPoint; }
    const std::string& ComSetting() const { return properties_.ComSetting; }
    const std::string& ComNumber() const { return properties_.ComNumber; }
    const std::string& VesTerminal() const { return properties_.VesTerminal; }
    const std::string& TipTerminal() const { return properties_.TipTerminal; }
    const std::string& StatusTerminal() const { return properties_.StatusTerminal; }
    const std::string& UnitWeight() const { return properties_.UnitWeight; }

    void setMinFixVes(std::int16_t New_MinFixVes);
    void setDecPoint(std::int16_t New_DecPoint);
    void setComSetting(std::string_view New_ComSetting);
    void setComNumber(std::string_view New_ComNumber);
    void setVesTerminal(std::string_view New_VesTerminal);
    void setTipTerminal(std::string_view New_TipTerminal);
    void setStatusTerminal(std::string_view New_StatusTerminal);
    void setUnitWeight(std::string_view New_UnitWeight);

    // Methods, with exactly the effects they have inside the cycle.
    void Com_ORVA_Signal();
    void Stability();
    void Init_VC();
    void Default_Flag();
    void Status_Terminale();

    // Persistence through the host's property bag.
    void ReadProperties(PropertyBag& bag);
    void WriteProperties(PropertyBag& bag) const;

    // For renderers, hosts that show more, and tests.
    PanelModel& panel() { return panel_; }
    const PanelModel& panel() const { return panel_; }
    const PropertyRecord& properties() const { return properties_; }
    const ReadingRecord& reading() const { return reading_; }
    SerialPort& MSComm1() { return *port_; }
    const IntervalTimer& Timer1() const { return *timer1_; }
    const IntervalTimer& Timer2() const { return *timer2_; }
    const IntervalTimer& Timer3() const { return *timer3_; }

private:
    template <class Field, class Value>
    void writeProperty(std::string_view name, Field& field, Value&& value);
    template <class Step>
    void observed(CycleStep step, Step&& run);

    PropertyRecord properties_;
    ReadingRecord reading_;
    PanelModel panel_;
    std::unique_ptr<SerialPort> port_;
    PropertyChangeSink* propertyChange_ = nullptr;
    CycleObserver* observer_ = nullptr;
    // The timers go first on destruction, so no tick reaches a half-gone control.
    std::unique_ptr<IntervalTimer> timer1_;
    std::unique_ptr<IntervalTimer> timer2_;
    std::unique_ptr<IntervalTimer> timer3_;
    ControlParts parts_;
};

}  // namespace orva
