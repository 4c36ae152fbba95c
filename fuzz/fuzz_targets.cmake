# The fuzz targets and the libraries each needs; shared by the fuzzing build
# and the corpus replay of the tests.
set(CORVALENSO_FUZZ_TARGETS fuzz_xml fuzz_http fuzz_mp3 fuzz_persistence fuzz_persistence_roundtrip fuzz_search fuzz_gena fuzz_picture fuzz_picture_service
    fuzz_wma fuzz_albumart_mp3 fuzz_playlist)
set(fuzz_xml_LIBS xml)
set(fuzz_http_LIBS control upnp http)
set(fuzz_mp3_LIBS scan)
set(fuzz_persistence_LIBS db)
set(fuzz_persistence_roundtrip_LIBS db)
set(fuzz_search_LIBS control)
set(fuzz_gena_LIBS eventing)
set(fuzz_picture_LIBS visual)
set(fuzz_picture_service_LIBS pictures)
set(fuzz_wma_LIBS delivery scan)
set(fuzz_albumart_mp3_LIBS delivery)
set(fuzz_playlist_LIBS scan)
