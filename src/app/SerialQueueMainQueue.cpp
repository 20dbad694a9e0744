#include "app/SerialQueueMainQueue.h"

namespace tallowin {

SerialQueueMainQueue::SerialQueueMainQueue(std::string label, QualityOfService qualityOfService)
    : m_queue(std::move(label), qualityOfService)
{ }

}
