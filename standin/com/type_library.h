#pragma once
// Type information as small static tables: the stand-in library's type
// library and the ITypeInfo of each type in it, without MIDL.
//
// A TypeLibrary is built once from TypeDescriptions and lives as long as the
// module. Types are addressed by their position in the library; the
// HREFTYPE of a type is that position, so a coclass names its interfaces by
// position. What an event sink reads works:
//
//   ITypeInfo  GetTypeAttr (guid, typekind, cFuncs, cImplTypes),
//              GetFuncDesc (memid, invkind, parameters), GetNames,
//              GetDocumentation, GetIDsOfNames, GetImplTypeFlags,
//              GetRefTypeOfImplType, GetRefTypeInfo, GetContainingTypeLib
//              and the releases;
//   ITypeLib   GetTypeInfoCount, GetTypeInfo, GetTypeInfoType,
//              GetTypeInfoOfGuid, GetLibAttr, GetDocumentation and the release.
//
// Every other method answers E_NOTIMPL. Memory handed out (TYPEATTR,
// FUNCDESC, TLIBATTR) is the caller's until it gives it back through the
// matching Release method; names are BSTRs the caller frees.
//
// References: the objects are never destroyed while the module is loaded;
// a reference held by a caller counts as a module lock (DllCanUnloadNow).
//
// REQUIRES: built and used on one thread, like the rest of the module.

#include <oaidl.h>

#include <QString>

#include <memory>
#include <vector>

namespace vasnik::com {

struct FunctionDescription {
  DISPID id;
  QString name;
  INVOKEKIND invoke = INVOKE_FUNC;
  std::vector<QString> parameters;  // names, in declaration order
  VARTYPE parameterType = VT_VARIANT;
  VARTYPE resultType = VT_VARIANT;
};

struct ImplementedType {
  int type;   // position of the interface in the library
  INT flags;  // IMPLTYPEFLAG_FDEFAULT, IMPLTYPEFLAG_FSOURCE, ...
};

struct TypeDescription {
  GUID guid;
  TYPEKIND kind;
  QString name;
  QString documentation;
  std::vector<FunctionDescription> functions;  // dispatch interfaces
  std::vector<ImplementedType> implemented;    // coclasses
};

class TypeLibraryObject;

class TypeLibrary {
 public:
  TypeLibrary(GUID guid, QString name, QString documentation, std::vector<TypeDescription> types);
  ~TypeLibrary();
  TypeLibrary(const TypeLibrary&) = delete;
  TypeLibrary& operator=(const TypeLibrary&) = delete;

  // Borrowed pointers, valid for the library's life; AddRef to keep one.
  ITypeLib* Lib() const;
  ITypeInfo* Type(int position) const;
  // The position of the type with that guid, or -1.
  int Find(const GUID& guid) const;

 private:
  std::unique_ptr<TypeLibraryObject> object_;
};

}  // namespace vasnik::com
