// Every interface identifier the COM headers declare, defined once here
// (on Windows they come from uuid.lib).

#include <ocidl.h>
#include <oaidl.h>
#include <unknwn.h>

#include "platform/com/guid_text.h"

using platform::com::ComGuid;

extern "C" {
const IID IID_IUnknown = ComGuid("{00000000-0000-0000-C000-000000000046}");
const IID IID_IClassFactory = ComGuid("{00000001-0000-0000-C000-000000000046}");
const IID IID_IDispatch = ComGuid("{00020400-0000-0000-C000-000000000046}");
const IID IID_ITypeInfo = ComGuid("{00020401-0000-0000-C000-000000000046}");
const IID IID_ITypeLib = ComGuid("{00020402-0000-0000-C000-000000000046}");
const IID IID_IProvideClassInfo = ComGuid("{B196B283-BAB4-101A-B69C-00AA00341D07}");
const IID IID_IConnectionPointContainer = ComGuid("{B196B284-BAB4-101A-B69C-00AA00341D07}");
const IID IID_IEnumConnectionPoints = ComGuid("{B196B285-BAB4-101A-B69C-00AA00341D07}");
const IID IID_IConnectionPoint = ComGuid("{B196B286-BAB4-101A-B69C-00AA00341D07}");
const IID IID_IEnumConnections = ComGuid("{B196B287-BAB4-101A-B69C-00AA00341D07}");
const IID IID_NULL = {};
const GUID GUID_NULL = {};
}
