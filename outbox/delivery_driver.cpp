#include "outbox/delivery_driver.h"

namespace outbox {

DeliveryDriver::~DeliveryDriver() = default;

} // namespace outbox
