# The fuzz targets and the libraries each needs; shared by the fuzzing build
# and the corpus replay of the tests.
set(CORVALENSO_FUZZ_TARGETS fuzz_xml fuzz_http fuzz_mp3 fuzz_persistence fuzz_search fuzz_subscribe fuzz_picture fuzz_picture_service
    fuzz_wma fuzz_albumart_mp3 fuzz_playlist fuzz_request_line fuzz_browse_args fuzz_url_decode fuzz_settings_file
    fuzz_media_url fuzz_origin fuzz_persistence_roundtrip
    fuzz_flac fuzz_ogg fuzz_mp4 fuzz_mkv)
set(fuzz_xml_LIBS xml)
set(fuzz_http_LIBS control upnp http)
set(fuzz_mp3_LIBS scan)
set(fuzz_persistence_LIBS db)
set(fuzz_persistence_roundtrip_LIBS db)
set(fuzz_search_LIBS control)
set(fuzz_subscribe_LIBS eventing)
set(fuzz_picture_LIBS visual)
set(fuzz_picture_service_LIBS pictures)
set(fuzz_wma_LIBS scan)
set(fuzz_albumart_mp3_LIBS scan)
set(fuzz_playlist_LIBS scan)
set(fuzz_request_line_LIBS http)
set(fuzz_browse_args_LIBS control)
set(fuzz_url_decode_LIBS scan http)
set(fuzz_settings_file_LIBS core)
set(fuzz_media_url_LIBS delivery pictures)
set(fuzz_origin_LIBS http)
set(fuzz_flac_LIBS scan)
set(fuzz_ogg_LIBS scan)
set(fuzz_mp4_LIBS scan)
set(fuzz_mkv_LIBS visual)
# The FLAC, MP4 and Ogg album-art search.
list(APPEND CORVALENSO_FUZZ_TARGETS fuzz_albumart)
set(fuzz_albumart_LIBS scan)
# The matching of subtitle files to their videos by name.
list(APPEND CORVALENSO_FUZZ_TARGETS fuzz_subtitle_names)
set(fuzz_subtitle_names_LIBS scan)
# The configuration forms' field reader and update rules.
list(APPEND CORVALENSO_FUZZ_TARGETS fuzz_config_form)
set(fuzz_config_form_LIBS webconfig)
# The internet radio station list, the relay's reading of a remote answer,
# and the FTP client's reply reader.
list(APPEND CORVALENSO_FUZZ_TARGETS fuzz_station_list fuzz_relay_head fuzz_ftp_reply)
set(fuzz_station_list_LIBS scan)
set(fuzz_relay_head_LIBS delivery)
set(fuzz_ftp_reply_LIBS delivery)
# The iTunes library import and the iPod database reader.
list(APPEND CORVALENSO_FUZZ_TARGETS fuzz_itunes_library fuzz_ipod_database)
set(fuzz_itunes_library_LIBS scan)
set(fuzz_ipod_database_LIBS scan)
