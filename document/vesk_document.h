// CVESKDocument: the leaf of the item tree, one document stored in one box. It carries
// what the device listed, the user's download choices and the record a download sends,
// and answers whether a thumbnail, a scan-to or a transfer is allowed.
#pragma once

#include "core/item.h"
#include "platform/cstring.h"
#include "platform/export.h"
#include "platform/wintypes.h"
#include "tcpcore/records.h"

class CFile;
class CVESKCache;
class CVESKMFPBox;
class CVESKMFPDevice;

class VESK_API CVESKDocument : public CVESKItem {
    DECLARE_DYNCREATE(CVESKDocument)

public:
    CVESKDocument();
    ~CVESKDocument() override;
    CVESKDocument(const CVESKDocument&) = delete;
    CVESKDocument& operator=(const CVESKDocument&) = delete;

    // ---- item interface ----------------------------------------------------
    int GetItemObjectType() override { return 3; }
    long GetItemID() override { return m_lItemID; }
    CString GetItemName() override { return m_strItemName; }
    // A document has no children and no session: these do nothing and return 1.
    int GetChildList(int) override { return 1; }
    int AddChildItem(ITEMINFO&) override { return 1; }
    int UpdateList(CVESKItem*) override { return 1; }
    int Connect(PFN_VESK_COMMSTATE, CString) override { return 1; }
    int DeleteChildItem(int, CString) override { return 1; }
    int ModifyItem(ITEMINFO&, CString) override { return 1; }
    int Disconnect() override { return 1; }
    // Renames the document on the device. 1, -1009 box not logged in, -1012 no parent
    // box, -1033 empty name, -1031 refused by the device, -1001 exception. The item
    // keeps the name as sent (cut to the device's field at a character boundary).
    int RenameItem(const wchar_t* pszNewName, CString strUnused) override;

    // ---- predicates --------------------------------------------------------
    // 1 allowed, or: -1012 no parent box/device or not connected, -1055 encrypted.
    int CanDisplayDocThumbNail();
    // 1 allowed, or -1012, -1078 scanning documents is forbidden for the user.
    int CanDocScan();
    // 1 allowed, or -1012, -1054 a colour document while colour transfer is forbidden.
    int CanTransferDoc();
    // The colour a download uses unless the user chose: 1 (black) or 5 (full colour).
    int GetDefaultDownloadColor();
    // 1 when the document can be downloaded in the format code (0 to 9), else 0.
    int IsDocCompatible(int nFormat);

    void SetCacheObj(CVESKCache* pCache);
    CVESKCache* GetCacheObj() const { return m_pCache; }
    void SetBox(CVESKMFPBox* pBox) { m_pBox = pBox; }
    CVESKMFPBox* GetBox() const { return m_pBox; }

    // ---- accessors ---------------------------------------------------------
    void SetItemID(long l) { m_lItemID = l; }
    CString GetUserNameW() { return m_strUserName; }
    void SetUserName(CString s) { m_strUserName = s; }
    void SetItemName(CString s) { m_strItemName = s; }
    CString GetMaxEntryDate() { return m_strMaxEntryDate; }
    void SetMaxEntryDate(CString s) { m_strMaxEntryDate = s; }
    CString GetDispDocname() { return m_strDispDocname; }
    void SetDispDocname(CString s) { m_strDispDocname = s; }
    CString GetTransFilePath() { return m_strTransFilePath; }
    void SetTransFilePath(CString s) { m_strTransFilePath = s; }
    // Each writes one trace line before its work.
    CString GetPassword();
    void SetPassword(CString s);
    int GetMode() { return m_nMode; }
    void SetMode(int n) { m_nMode = n; }
    int GetPageNo() { return m_nPageNo; }
    void SetPageNo(int n) { m_nPageNo = n; }
    int GetXResolution() { return m_nXResolution; }
    void SetXResolution(int n) { m_nXResolution = n; }
    int GetYResolution() { return m_nYResolution; }
    void SetYResolution(int n) { m_nYResolution = n; }
    int GetColorType() { return m_nColorType; }
    void SetColorType(int n) { m_nColorType = n; }
    int GetBitsPerPixel() { return m_nBitsPerPixel; }
    void SetBitsPerPixel(int n) { m_nBitsPerPixel = n; }
    int GetPaperSizeCode() { return m_nPaperSizeCode; }
    void SetPaperSizeCode(int n) { m_nPaperSizeCode = n; }
    int GetWidth() { return m_nWidth; }
    void SetWidth(int n) { m_nWidth = n; }
    int GetHeight() { return m_nHeight; }
    void SetHeight(int n) { m_nHeight = n; }
    int GetFileType() { return m_nFileType; }
    void SetFileType(int n) { m_nFileType = n; }
    int GetTargetPageNo() { return m_nTargetPageNo; }
    void SetTargetPageNo(int n) { m_nTargetPageNo = n; }
    int GetDownloadAll() { return m_nDownloadAll; }
    void SetDownlaodAll(int n) { m_nDownloadAll = n; }
    int GetColor() { return m_nColor; }
    void SetColor(int n) {
        m_nColor = n;
        m_openDocParam.nColor = n;
    }
    int GetResolution() { return m_nResolution; }
    void SetResolution(int n) {
        m_nResolution = n;
        m_openDocParam.nResolution = n;
    }
    int GetDLPrintMode() { return m_openDocParam.nDLPrintMode; }
    void SetDLPrintMode(int n) { m_openDocParam.nDLPrintMode = n; }
    int IsEncrypted() { return m_nEncrypted; }
    void SetEncrypted(int n) { m_nEncrypted = n; }
    int GetAttributeNum() { return m_nAttributeNum; }
    // Kept within 0 to 20: the count bounds the copy of SetAttributeInfo.
    void SetAttributeNum(int n);
    tagUTIL_ATTRIBUTEINFO* GetAttributeInfo() { return m_attributeInfo; }
    // Copies the first GetAttributeNum() entries; call SetAttributeNum first.
    void SetAttributeInfo(const tagUTIL_ATTRIBUTEINFO* pInfo);

    // The current outline-PDF record (inside the open-document record).
    int GetisPDF() { return m_openDocParam.outlinePDFInfo.nIsPDF; }
    int GetnSupportLang() { return m_openDocParam.outlinePDFInfo.nSupportLang; }
    int GetAdjustRotation() { return m_openDocParam.outlinePDFInfo.nAdjustRotation; }
    int GetOutlinePDF() { return m_openDocParam.outlinePDFInfo.nOutlinePDF; }
    // The setters store the current record, and with bSetDefault also the listing-time
    // copy; the getters always read the listing-time copy (a download restores the
    // current records from it). Each getter returns 1.
    int GetDefOutlinePDFinfo(tagUTIL_SPDF_OUTLINEPDF_INFO& info);
    void SetOutLinePDFInfo(tagUTIL_SPDF_OUTLINEPDF_INFO& info, int bSetDefault);
    int GetOfficeXMLinfo(tagUTIL_OFFICE_OPEN_XML_INFO& info);
    void SetOfficeXMLInfo(tagUTIL_OFFICE_OPEN_XML_INFO& info, int bSetDefault);
    int GetLinearizedPDFinfo(tagUTIL_EXTENDED_PDF_INFO& info);
    void SetPDFA_LinearizedInfo(tagUTIL_EXTENDED_PDF_INFO& info, int bSetDefault);
    tagUTIL_OPENDOCPARAM& GetOpenDocParam() { return m_openDocParam; }

    // ---- download (document/download.cpp) -----------------------------------
    // Brings the document, or one page of it, into the transfer tree and puts the path
    // of the file in strOutPath. nFormat: -1 the document's own, 0 to 9 a format code;
    // nPage: the page for JPEG and all-pages downloads. pfnProgress goes to the device's
    // open call, pfnRecvData receives the data progress during the read (the previous
    // receive-data callback is back in place on every return); pContext is not used.
    // 1 in place; 0 format 3 or unknown, not logged in, or the device or a file failed
    // (nothing is left under the final name); -1028 the file could not be put in place;
    // -1036 no transfer tree; -1045 a folder could not be made; -1001 exception.
    int GetDocument(CString& strOutPath, int bLoadInfo, QTCP_PROGRESS_CALLBACK pfnProgress,
                    QTCP_RECVDATA_CALLBACK pfnRecvData, void* pContext, int nFormat, int nPage);
    // Saves a copy into the user's folder or file strPath through the parent box's
    // copy-to-folder: 1 done, else 0; -1001 exception.
    int SaveAs(CString strPath, int nFormat, int bOverwrite, int nPage,
               QTCP_RECVDATA_CALLBACK pfnRecvData);

    // ---- thumbnails and page bitmaps -----------------------------------------
    // (document/thumbnail.cpp) A picture of the document fitting 240 × 240, from the
    // cache while its creation time matches the entry date, else from the device
    // (protocol 30 on) or made locally from the downloaded document. 1 with a handle the
    // caller frees with DeleteObject; on any other result *phBitmap is null and nothing
    // is handed out: 0 a fetch, load or cache upkeep failed, -1036 no cache tree, -1045
    // a folder level could not be made, -1046 the thumbnail could not be saved, -1001
    // exception.
    int GetThumbnail(HBITMAP* phBitmap);
    // The device's own thumbnail into the file at strPath (raw grey rows become a BMP
    // file), its creation time set from the entry date. 1 done; 0 the device or a file
    // failed, or the device sent other than the announced size (the file is then
    // removed); -1001 exception.
    int GetThumbnailDocument(CString strPath);
    // (document/bitmap.cpp) Page nPage of the document as a bitmap handle, fetched into
    // the temporary document folder (a JPEG page, or a frame of the TIFF document), and,
    // when pInfo is not null, its BITMAPINFOHEADER filled (vesk::FillBitmapInfoHeader).
    // 1 done; 0 a fetch, a page past the end, the page save, a load or the handle failed
    // (*phBitmap null); -1001 exception.
    int GetBitmap(int nPage, HBITMAP* phBitmap, BITMAPINFO* pInfo);
    // (document/images.cpp) The temporary document folder, temporary tree / device id /
    // box number, made where missing: 1, -1036 no temporary tree (or no parent box and
    // device), -1045 a level could not be made.
    int CreateTempDocumentFolder(CString& strFolder);
    // The 14-byte file header, 40-byte information header and 1024-byte grey palette of a
    // BMP file holding nSize bytes of raw 104-pixel grey rows. Throws CFileException.
    static void AddBMPHeaderInfo(CFile& file, int nSize);
    // Reverses the order of the nRows 104-byte rows at pData.
    static void FlipBMPRawData(int nRows, unsigned char*& pData);
    // Index of the image encoder whose MIME type is exactly pszMimeType, its class id
    // through pClsid; -1 when there is none.
    static int GetEncoderClsid(const wchar_t* pszMimeType, CLSID* pClsid);

    // ---- local files (document/file_info.cpp) ------------------------------
    // Width and height (file type 0, JPEG) or width, height and resolutions (file type
    // 1, TIFF; a listing whose resolutions agree is kept) from the downloaded file at
    // exactly m_strTransFilePath. The file's content must be of that kind. Always 1; a
    // file that cannot be read, or another type, changes nothing.
    int LoadFileInfo();
    // The creation time of the file at exactly pszPath (no pattern matching) as
    // "yyyy/mm/dd hh:mm:ss" in local time: 1, or 0 when pszPath is null or names no file
    // (then text is "" unless pszPath was null). On Linux the creation time is the one
    // the library set (kept in an extended attribute), else the statx birth time, else
    // the inode change time: see vesk::fs::CreationTime.
    static int GetFileCreationTime(const wchar_t* pszPath, CString& text);

private:
    int LoadFileInfoJpg();
    int LoadFileInfoTif();
    // Parent box and its device when the device is connected, else null.
    CVESKMFPDevice* ConnectedDevice();

    long m_lItemID = 0;
    CString m_strUserName;
    CString m_strItemName;
    CString m_strMaxEntryDate;
    CString m_strDispDocname;
    CString m_strTransFilePath;
    CString m_strPassword;
    int m_nMode = 0;
    int m_nPageNo = 0;
    int m_nXResolution = 0;
    int m_nYResolution = 0;
    int m_nColorType = -1;
    int m_nBitsPerPixel = 0;
    int m_nPaperSizeCode = 0;
    int m_nWidth = 0;
    int m_nHeight = 0;
    int m_nFileType = 0;
    int m_nTargetPageNo = -1;
    int m_nDownloadAll = 0;
    int m_nColor = 0;
    int m_nResolution = 0;
    tagUTIL_OPENDOCPARAM m_openDocParam{};  // the constructor makes nColor 5 (full colour)
    int m_nAttributeNum = 0;
    tagUTIL_ATTRIBUTEINFO m_attributeInfo[QTCP_MAX_ATTRIBUTES]{};
    tagUTIL_SPDF_OUTLINEPDF_INFO m_defOutlinePDFInfo{};
    tagUTIL_OFFICE_OPEN_XML_INFO m_defOfficeXMLInfo{};
    tagUTIL_EXTENDED_PDF_INFO m_defExtendedPDFInfo{};
    int m_nEncrypted = 0;
    CVESKCache* m_pCache = nullptr;
    ULONG_PTR m_gdiplusToken = 0;   // this document's GDI+ session, for its image calls
    CVESKMFPBox* m_pBox = nullptr;  // the parent; not owned
};
