#pragma once
// The messaging library's published class and interface identifiers, and the
// values of its object model that the program passes. Header-only, so that
// the stand-in library can answer the same identifiers.

#include "platform/com/guid_text.h"

namespace outlook::ids {

using platform::com::ComGuid;

// Creatable classes and the (dual) interface each creation returns.
inline constexpr CLSID CLSID_RDOSession = ComGuid("{29AB7A12-B531-450E-8F7A-EA94C2F3C05F}");
inline constexpr IID IID_IRDOSession = ComGuid("{E54C5168-AA8C-405F-9C14-A4037302BD9D}");
inline constexpr CLSID CLSID_SafeMailItem = ComGuid("{741BEEFD-AEC0-4AFF-84AF-4F61D15F5526}");
inline constexpr IID IID_ISafeMailItem = ComGuid("{0A95BE2D-1543-46BE-AD6D-18653034BF87}");
inline constexpr CLSID CLSID_SafeContactItem = ComGuid("{4FD5C4D3-6C15-4EA0-9EB9-EEE8FC74A91B}");
inline constexpr IID IID_ISafeContactItem = ComGuid("{3120A5E4-552D-4EDF-8C48-70C5D5FF22D2}");
inline constexpr CLSID CLSID_SafeAppointmentItem = ComGuid("{620D55B0-F2FB-464E-A278-B4308DB1DB2B}");
inline constexpr IID IID_ISafeAppointmentItem = ComGuid("{35EFAD55-134A-47BF-912A-44A9D9FD556F}");
inline constexpr CLSID CLSID_SafeTaskItem = ComGuid("{7A41359E-0407-470F-B3F7-7C6A0F7C449A}");
inline constexpr IID IID_ISafeTaskItem = ComGuid("{F961CE9D-AE2B-4CFB-887C-3A055FF685C9}");
inline constexpr CLSID CLSID_SafeJournalItem = ComGuid("{C5AA36A1-8BD1-47E0-90F8-47E7239C6EA1}");
inline constexpr IID IID_ISafeJournalItem = ComGuid("{E3EC74BB-5522-462D-A00F-2728C53FCA04}");
inline constexpr CLSID CLSID_SafeMeetingItem = ComGuid("{FA2CBAFB-F7B1-4F41-9B7A-73329A6C1CB7}");
inline constexpr IID IID_ISafeMeetingItem = ComGuid("{F7919641-3978-4668-8388-7310329C800E}");
inline constexpr CLSID CLSID_SafePostItem = ComGuid("{11E2BC0C-5D4F-4E0C-B438-501FFE05A382}");
inline constexpr IID IID_ISafePostItem = ComGuid("{6A5D680A-8F9F-4752-A056-2C0273F60B4E}");
inline constexpr CLSID CLSID_SafeReportItem = ComGuid("{D46BA7B2-899F-4F60-85C7-4DF5713F6F18}");
inline constexpr IID IID_ISafeReportItem = ComGuid("{03C3860D-86B7-4F36-924C-3B1AD93B4C79}");
inline constexpr CLSID CLSID_SafeMAPIFolder = ComGuid("{03C4C5F4-1893-444C-B8D8-002F0034DA92}");
inline constexpr IID IID_ISafeMAPIFolder = ComGuid("{31CE2164-4D5C-4508-BCA7-B10E11D08E6B}");
inline constexpr CLSID CLSID_SafeCurrentUser = ComGuid("{7ED1E9B1-CB57-4FA0-84E8-FAE653FE8E6B}");
inline constexpr IID IID_ISafeCurrentUser = ComGuid("{D7E6FB7C-A22F-4A9D-A89D-653D1AA37324}");
inline constexpr CLSID CLSID_SafeDistList = ComGuid("{7C4A630A-DE98-4E3E-8093-E8F5E159BB72}");
inline constexpr IID IID_ISafeDistList = ComGuid("{EBB4EBA9-D546-4C85-A05A-167BF875FB83}");
inline constexpr CLSID CLSID_AddressLists = ComGuid("{37587889-FC28-4507-B6D3-8557305F7511}");
inline constexpr IID IID_IAddressLists = ComGuid("{86797248-1A4E-41D0-A0C3-2175A36B3D0E}");
inline constexpr CLSID CLSID_MAPITable = ComGuid("{A6931B16-90FA-4D69-A49F-3ABFA2C04060}");
inline constexpr IID IID__IMAPITable = ComGuid("{6CCD925E-E833-4BE3-A62E-D3C8838C5D6D}");
inline constexpr CLSID CLSID_MAPIUtils = ComGuid("{4A5E947E-C407-4DCC-A0B5-5658E457153B}");
inline constexpr IID IID_IMAPIUtils = ComGuid("{D45B0772-5801-4E61-9CBA-84120557A4D7}");
inline constexpr CLSID CLSID_SafeInspector = ComGuid("{ED323630-B4FD-4628-BC6A-D4CC44AE3F00}");
inline constexpr IID IID_ISafeInspector = ComGuid("{6E4C6020-2932-4DDD-BDA8-998AE4CDF50D}");

// Folder interfaces: RDOFolder (EntryID, StoreID, Name, DefaultItemType,
// Folders, Items) and RDOFolder2 (adds FolderPath). The program views a
// message's parent and a folder whose path it shows through these, so a
// folder object answers QueryInterface for both.
inline constexpr IID IID_IRDOFolder = ComGuid("{15B8597F-0A55-4361-AE8B-1F690BC61EE4}");
inline constexpr IID IID_IRDOFolder2 = ComGuid("{4A34CF03-DB62-4D32-829A-B0079E16E28C}");

// Outlook's application class, the one behind the ProgID "Outlook.Application".
inline constexpr CLSID CLSID_OutlookApplication = ComGuid("{0006F03A-0000-0000-C000-000000000046}");

// GetDefaultFolder kinds (olDefaultFolders).
inline constexpr int olFolderDeletedItems = 3;
inline constexpr int olFolderInbox = 6;
inline constexpr int olFolderDrafts = 16;
// Folder DefaultItemType of a calendar (olAppointmentItem).
inline constexpr int olAppointmentItem = 1;
// Save and import format of an Outlook message file (olMSG).
inline constexpr int olMSG = 3;
// Attachment by value (olByValue).
inline constexpr int olByValue = 1;
// RDOMail.Delete flag: delete without moving to Deleted Items (dfSoftDelete).
inline constexpr int dfSoftDelete = 0;
// RDOMail.Delete flag: move to Deleted Items (dfMoveToDeletedItems).
inline constexpr int dfMoveToDeletedItems = 1;
// CommandBars.FindControl type of a button (msoControlButton).
inline constexpr int msoControlButton = 1;

}  // namespace outlook::ids
