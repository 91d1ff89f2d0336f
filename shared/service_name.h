// The name under which the service control manager knows the service: flowsetup installs and
// controls it under this name, and flowmeter registers its control handler under it.
#ifndef FLOWSENTRY_SHARED_SERVICE_NAME_H_
#define FLOWSENTRY_SHARED_SERVICE_NAME_H_

namespace flowsentry {

inline constexpr char kServiceName[] = "flowSentry";

}  // namespace flowsentry

#endif  // FLOWSENTRY_SHARED_SERVICE_NAME_H_
