#include "control/activex_orva.h"

#include "control/property_persistence.h"

namespace orva {
namespace {

std::unique_ptr<IntervalTimer> makeTimer(TimerFactory& factory, int interval, TimerFactory::Tick tick) {
    auto timer = factory.makeTimer(std::move(tick));
    timer->setInterval(interval);
    return timer;
}

}  // namespace

ActivexORVA::ActivexORVA(ControlPlatform platform)
    : port_(std::move(platform.port)),
      timer1_(makeTimer(platform.timers, kTimer1Interval,
                        [this] { observed(CycleStep::Poll, [this] { Timer1_Timer(parts_); }); })),
      timer2_(makeTimer(platform.timers, kTimer2Interval,
                        [this] { observed(CycleStep::Reconfigure, [this] { Timer2_Timer(parts_); }); })),
      timer3_(makeTimer(platform.timers, kTimer3Interval,
                        [this] { observed(CycleStep::Decode, [this] { Timer3_Timer(parts_); }); })),
      parts_{properties_, reading_, panel_, *port_, *timer1_, *timer2_, *timer3_, platform.notice, platform.locale,
             nullptr, platform.trace, {}} {
    orva::Init_VC(parts_);
    timer1_->setEnabled(true);
    timer3_->setEnabled(true);
}

// The port closes with its object; the timers stop before anything else goes.
ActivexORVA::~ActivexORVA() {
    timer1_.reset();
    timer2_.reset();
    timer3_.reset();
}

void ActivexORVA::setEventSink(ControlEvents* sink) { parts_.events = sink; }

// A tick as the host's observer sees it. The observer is read again after
// the step: a host may take it off from inside an event.
template <class Step>
void ActivexORVA::observed(CycleStep step, Step&& run) {
    if (observer_ != nullptr) observer_->stepStarting(step);
    run();
    if (observer_ == nullptr) return;
    observer_->stepEnded(step);
    if (step == CycleStep::Decode && observer_ != nullptr) observer_->decodeEnded(parts_.decodeEnd);
}

template <class Field, class Value>
void ActivexORVA::writeProperty(std::string_view name, Field& field, Value&& value) {
    field = std::forward<Value>(value);
    if (propertyChange_ != nullptr) propertyChange_->propertyChanged(name);
}

void ActivexORVA::setMinFixVes(std::int16_t v) { writeProperty("MinFixVes", properties_.MinFixVes, v); }
void ActivexORVA::setDecPoint(std::int16_t v) { writeProperty("DecPoint", properties_.DecPoint, v); }
void ActivexORVA::setComSetting(std::string_view v) { writeProperty("ComSetting", properties_.ComSetting, v); }
void ActivexORVA::setComNumber(std::string_view v) { writeProperty("ComNumber", properties_.ComNumber, v); }
void ActivexORVA::setVesTerminal(std::string_view v) { writeProperty("VesTerminal", properties_.VesTerminal, v); }
void ActivexORVA::setTipTerminal(std::string_view v) { writeProperty("TipTerminal", properties_.TipTerminal, v); }
void ActivexORVA::setStatusTerminal(std::string_view v) {
    writeProperty("StatusTerminal", properties_.StatusTerminal, v);
}
void ActivexORVA::setUnitWeight(std::string_view v) { writeProperty("UnitWeight", properties_.UnitWeight, v); }

void ActivexORVA::Com_ORVA_Signal() { orva::Com_ORVA_Signal(parts_); }
void ActivexORVA::Stability() { orva::Stability(parts_); }
void ActivexORVA::Init_VC() { orva::Init_VC(parts_); }
void ActivexORVA::Default_Flag() { orva::Default_Flag(reading_); }
void ActivexORVA::Status_Terminale() { orva::Status_Terminale(parts_); }

void ActivexORVA::ReadProperties(PropertyBag& bag) { loadProperties(properties_, bag); }
void ActivexORVA::WriteProperties(PropertyBag& bag) const { saveProperties(properties_, bag); }

}  // namespace orva
