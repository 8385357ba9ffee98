// Block ciphers and the MD5 digest of the Mox run-time library.
#pragma once

#include "GTypes.h"

class GMemStream;

class DBlockCipher
{
public:
    DBlockCipher(int blockSizeIn, int blockSizeOut, int cipherType);
    virtual ~DBlockCipher();

    // The input block size when bIn is true, else the output block size.
    int GetBlockSize(XBOOL bIn) const { return bIn ? m_iBlockSizeIn : m_iBlockSizeOut; }
    XWORD GetCipherType() const { return m_iCipherType; }

    virtual void Clear();
    virtual XRESULT Encrypt(const XBYTE* in, XBYTE* out);
    virtual XRESULT Decrypt(const XBYTE* in, XBYTE* out);
    virtual XRESULT GenerateKey();
    virtual XRESULT XLoad(GMemStream* stream);
    virtual XRESULT XSave(GMemStream* stream, XBOOL bWithKey);
    virtual XRESULT GetStreamSize(XBOOL bWithKey);

protected:
    XWORD m_iBlockSizeIn;
    XWORD m_iBlockSizeOut;
    XWORD m_iCipherType;
};

// MD5 digest: Encrypt reads a 64-byte block and writes its 16-byte RFC 1321 digest, the block taken as one
// whole message.
class MD5 : public DBlockCipher
{
public:
    MD5();
    void Clear() override;
    XRESULT Encrypt(const XBYTE* in, XBYTE* out) override;
};
