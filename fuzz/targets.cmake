# The fuzz targets: fuzz/<name>_fuzz.cpp builds fuzz_<name>, seeded from
# corpus/<name>/. The test suite runs each of them.
set(HALVORN_FUZZ_TARGETS
  base64 pemdecode codepage certinfo pkcs7cert pkcs7verify sm2p7
  http_url http_request decrypt_str wardlock)
