# Planted faults (live, tracing, emulation, common, emitter, entry point, resources) for tools/plant_faults.py.
FAULTS = [
    # --- live/status_bar.cpp ---------------------------------------------------
    ('status_second_part_gap_50', 'live/status_bar.cpp',
     r'''width - 210 : edges[0] + 60;''',
     r'''width - 210 : edges[0] + 50;''',
     'line_display_tests|live_window_tests'),
    ('status_first_edge_off_by_one', 'live/status_bar.cpp',
     r'''edges[0] = width - 320 > 80 ? width - 320 : 80;''',
     r'''edges[0] = width - 320 > 80 ? width - 321 : 80;''',
     'line_display_tests'),
    ('status_hidden_list_separator', 'live/status_bar.cpp',
     r'''i == 0 ? L"%u" : L", %u"''',
     r'''i == 0 ? L"%u" : L",%u"''',
     'line_display_tests|live_commands_tests'),
    ('status_lost_text', 'live/status_bar.cpp',
     r'''L" Running - %I64u line(s) lost (buffer full)"''',
     r'''L" Running - %I64u line(s) lost (buffers full)"''',
     'live_view_tests'),

    # --- live/live_view.cpp, live/live_view.h ------------------------------------
    ('view_rebuild_skips_lost_count', 'live/live_view.cpp',
     r'''    CountLinesLostBeforeRender();
    RtfReserveLines(&buffer, liveState.heldCount);''',
     r'''    RtfReserveLines(&buffer, liveState.heldCount);''',
     'live_view_tests'),
    ('view_trim_keeps_one_more', 'live/live_view.cpp',
     r'''EM_LINEINDEX, lines - keptLines, 0);''',
     r'''EM_LINEINDEX, lines - keptLines - 1, 0);''',
     'live_view_tests'),
    ('view_follows_without_autoscroll', 'live/live_view.cpp',
     r'''if (liveState.autoScroll && wasAtBottom)''',
     r'''if (liveState.autoScroll || wasAtBottom)''',
     'live_view_tests'),
    ('view_kept_lines_5000', 'live/live_view.h',
     r'''#define LIVE_VIEW_KEPT_LINES    50000''',
     r'''#define LIVE_VIEW_KEPT_LINES    5000''',
     'live_view_tests|live_endurance_tests'),

    # --- live/live_window.cpp ---------------------------------------------------
    ('window_copy_all_loses_scroll', 'live/live_window.cpp',
     r'''    SendMessageW(view, EM_SETSCROLLPOS, 0, (LPARAM)&scrollPoint);
    SendMessageW(view, WM_SETREDRAW, TRUE, 0);''',
     r'''    SendMessageW(view, WM_SETREDRAW, TRUE, 0);''',
     'live_commands_tests'),
    ('window_start_failure_keeps_break', 'live/live_window.cpp',
     r'''            description[--length] = L'\0';''',
     r'''            --length;''',
     'live_window_tests'),
    ('window_clear_without_lock', 'live/live_window.cpp',
     r'''        EnterCriticalSection(&liveState.storeLock);
        ClearLineStore();
        liveState.nextToRender = liveState.totalCount;
        liveState.lostBeforeRender = 0;
        LeaveCriticalSection(&liveState.storeLock);''',
     r'''        ClearLineStore();
        liveState.nextToRender = liveState.totalCount;
        liveState.lostBeforeRender = 0;''',
     'live_commands_tests'),
    ('window_find_limit_off_by_one', 'live/live_window.cpp',
     r'''#define LIVE_FIND_LIMIT         (LIVE_FIND_TEXT_UNITS - 1)''',
     r'''#define LIVE_FIND_LIMIT         LIVE_FIND_TEXT_UNITS''',
     'live_window_tests'),

    # --- live/line_format.cpp ---------------------------------------------------
    ('format_bias_of_today', 'live/line_format.cpp',
     r'''    SYSTEMTIME utc, local;
    FILETIME localStart;
    if (!FileTimeToSystemTime(&start, &utc) || !SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local) ||
        !SystemTimeToFileTime(&local, &localStart))
        return FALSE;''',
     r'''    FILETIME localStart;
    if (!FileTimeToLocalFileTime(&start, &localStart))
        return FALSE;''',
     'line_display_tests|live_view_tests'),
    ('format_zone_cache_150_minutes', 'live/line_format.cpp',
     r'''#define ZONE_QUARTER_TICKS  (15ull * 60 * 10000000)''',
     r'''#define ZONE_QUARTER_TICKS  (15ull * 60 * 100000000)''',
     'line_display_tests'),
    ('format_origin_component_off_by_one', 'live/line_format.cpp',
     r'''if (q - i < ORIGIN_COLUMN_UNITS + 1)''',
     r'''if (q - i < ORIGIN_COLUMN_UNITS)''',
     'line_display_tests'),
    ('format_fold_misses_z', 'live/line_format.cpp',
     r'''(c >= L'A' && c <= L'Z') ? (WCHAR)''',
     r'''(c >= L'A' && c < L'Z') ? (WCHAR)''',
     'line_display_tests'),

    # --- live/line_store.cpp ----------------------------------------------------
    ('store_append_without_lock', 'live/line_store.cpp',
     r'''    WCHAR* dropped = nullptr;
    EnterCriticalSection(&liveState.storeLock);
    if (liveState.slots == nullptr) {
        LeaveCriticalSection(&liveState.storeLock);
        free(text);
        return;
    }
    LiveLine* target = &liveState.slots[liveState.totalCount % LIVE_SLOT_COUNT];
    if (liveState.heldCount == LIVE_SLOT_COUNT) {
        if (IsErrorLine(target->level, target->isStatus))
            liveState.errorCount--;
        // Freed after the lock is left; the slot is overwritten below.
        dropped = target->text;
        liveState.heldCount--;
    }
    target->timestamp = timestamp != nullptr ? *timestamp : FILETIME{};
    target->processId = processId;
    target->threadId = threadId;
    target->level = level;
    target->isStatus = isStatus;
    target->text = text;
    if (IsErrorLine(level, isStatus))
        liveState.errorCount++;
    liveState.heldCount++;
    liveState.totalCount++;
    LeaveCriticalSection(&liveState.storeLock);
    free(dropped);
''',
     r'''    WCHAR* dropped = nullptr;
    if (liveState.slots == nullptr) {
        free(text);
        return;
    }
    LiveLine* target = &liveState.slots[liveState.totalCount % LIVE_SLOT_COUNT];
    if (liveState.heldCount == LIVE_SLOT_COUNT) {
        if (IsErrorLine(target->level, target->isStatus))
            liveState.errorCount--;
        // Freed after the lock is left; the slot is overwritten below.
        dropped = target->text;
        liveState.heldCount--;
    }
    target->timestamp = timestamp != nullptr ? *timestamp : FILETIME{};
    target->processId = processId;
    target->threadId = threadId;
    target->level = level;
    target->isStatus = isStatus;
    target->text = text;
    if (IsErrorLine(level, isStatus))
        liveState.errorCount++;
    liveState.heldCount++;
    liveState.totalCount++;
    free(dropped);
''',
     'live_capture_tests'),
    ('store_error_count_includes_level_0', 'live/line_store.cpp',
     r'''return isStatus == 0 && (level == 1 || level == 2);''',
     r'''return isStatus == 0 && level <= 2;''',
     'live_capture_tests|live_view_tests'),
    ('store_overwrite_keeps_error_count', 'live/line_store.cpp',
     r'''        if (IsErrorLine(target->level, target->isStatus))
            liveState.errorCount--;
''',
     r'''''',
     'live_capture_tests'),
    ('store_empty_status_line_added', 'live/line_store.cpp',
     r'''    if (written <= 0)
        return;''',
     r'''    if (written < 0)
        return;''',
     'live_capture_tests'),

    # --- live/live_consumer.cpp -------------------------------------------------
    ('consumer_keeps_past_first_nul', 'live/live_consumer.cpp',
     r'''        return wcsnlen((const WCHAR*)payload, units);''',
     r'''        return units;''',
     'live_capture_tests'),
    ('consumer_trims_one_line_break', 'live/live_consumer.cpp',
     r'''    while (units > 0 && IsLineBreakUnit(payload + (units - 1) * 2))''',
     r'''    if (units > 0 && IsLineBreakUnit(payload + (units - 1) * 2))''',
     'live_capture_tests'),
    ('consumer_year_2200_plausible', 'live/live_consumer.cpp',
     r'''ticks >= kFirstImplausibleTime''',
     r'''ticks > kFirstImplausibleTime''',
     'live_capture_tests'),

    # --- live/live_context_menu.cpp ---------------------------------------------
    ('menu_pid_max_refused', 'live/live_context_menu.cpp',
     r'''if (pid > 0xFFFFFFFFull)''',
     r'''if (pid >= 0xFFFFFFFFull)''',
     'live_commands_tests'),
    ('menu_hide_keeps_show_only', 'live/live_context_menu.cpp',
     r'''            liveState.hiddenPids[liveState.hiddenPidCount++] = pid;
        liveState.showOnlyPid = 0;''',
     r'''            liveState.hiddenPids[liveState.hiddenPidCount++] = pid;''',
     'live_commands_tests'),
    ('menu_bare_exe_name_stripped', 'live/live_context_menu.cpp',
     r'''if (length > 4 && _wcsicmp''',
     r'''if (length >= 4 && _wcsicmp''',
     'live_commands_tests'),

    # --- live/live_layout.cpp ---------------------------------------------------
    ('layout_min_height_third', 'live/live_layout.cpp',
     r'''liveState.minTrackHeight = (outer.bottom - outer.top) / 2;''',
     r'''liveState.minTrackHeight = (outer.bottom - outer.top) / 3;''',
     'live_window_tests'),
    ('layout_status_gap_from_top', 'live/live_layout.cpp',
     r'''entry.rect.bottom = client.bottom - entry.rect.left - statusHeight;''',
     r'''entry.rect.bottom = client.bottom - entry.rect.top - statusHeight;''',
     'live_window_tests'),

    # --- live/live_save.cpp -----------------------------------------------------
    ('save_cr_kept_in_text', 'live/live_save.cpp',
     r'''if (out[i] == L'\r' || out[i] == L'\n')''',
     r'''if (out[i] == L'\n')''',
     'live_commands_tests|live_endurance_tests'),
    ('save_full_disk_not_reported', 'live/live_save.cpp',
     r'''    if (!CloseHandle(file) && written) {
        written = FALSE;
        error = GetLastError();
    }''',
     r'''    written = CloseHandle(file);
    if (!written)
        error = GetLastError();''',
     'live_commands_tests'),
    ('save_skips_oldest_line', 'live/live_save.cpp',
     r'''sequence = liveState.totalCount - liveState.heldCount;''',
     r'''sequence = liveState.totalCount - liveState.heldCount + 1;''',
     'live_commands_tests'),

    # --- live/rtf_builder.cpp ---------------------------------------------------
    ('rtf_cr_dropped', 'live/rtf_builder.cpp',
     r'''        action['\r'] = kBlank;
''',
     r'''''',
     'live_endurance_tests|live_view_tests'),
    ('rtf_close_brace_unescaped', 'live/rtf_builder.cpp',
     r'''        action['}'] = kBackslash;
''',
     r'''''',
     'live_view_tests|live_endurance_tests'),
    ('rtf_dark_status_colour', 'live/rtf_builder.cpp',
     r'''{110, 150, 255}''',
     r'''{110, 160, 255}''',
     'live_view_tests'),

    # --- common/wide_format.cpp -------------------------------------------------
    ('wide_bounded_keeps_cut_text', 'common/wide_format.cpp',
     r'''    if (written < 0 && out != nullptr && units > 0)
        out[0] = L'\0';''',
     r'''''',
     'format_tests|trace_session_tests'),
    ('wide_truncating_no_terminator', 'common/wide_format.cpp',
     r'''    out[units - 1] = L'\0';
''',
     r'''''',
     'format_tests|line_display_tests'),

    # --- tracing/trace_session.cpp ----------------------------------------------
    ('session_already_running_is_success', 'tracing/trace_session.cpp',
     r'''    if (status != ERROR_SUCCESS) {
        DebugTrace(L"StartTrace 0x%08x", status);''',
     r'''    if (status != ERROR_SUCCESS && status != ERROR_ALREADY_EXISTS) {
        DebugTrace(L"StartTrace 0x%08x", status);''',
     'trace_session_tests'),
    ('session_trailing_backslash_kept', 'tracing/trace_session.cpp',
     r'''    if (windows[length - 1] == L'\\')
        windows[length - 1] = L'\0';
''',
     r'''''',
     'trace_session_tests'),
    ('session_file_mode_sequential', 'tracing/trace_session.cpp',
     r'''const ULONG kFileSessionMode = EVENT_TRACE_FILE_MODE_CIRCULAR |''',
     r'''const ULONG kFileSessionMode = EVENT_TRACE_FILE_MODE_SEQUENTIAL |''',
     'trace_session_tests|main_dialog_tests'),

    # --- tracing/autologger.cpp -------------------------------------------------
    ('autologger_guid_upper_case', 'tracing/autologger.cpp',
     r'''L"{%08x-%04x-%04x-''',
     r'''L"{%08X-%04x-%04x-''',
     'autologger_tests'),
    ('autologger_disable_ignores_delete', 'tracing/autologger.cpp',
     r'''    if (!DeleteRegistryTree(path))
        return FALSE;''',
     r'''    DeleteRegistryTree(path);''',
     'autologger_tests'),
    ('autologger_enabled_by_read_access', 'tracing/autologger.cpp',
     r'''                      KEY_READ | KEY_SET_VALUE | KEY_CREATE_SUB_KEY, &key) != ERROR_SUCCESS)''',
     r'''                      KEY_READ, &key) != ERROR_SUCCESS)''',
     'autologger_tests|main_dialog_tests'),

    # --- etw_emulation/emu_consumer.cpp -----------------------------------------
    ('emu_stop_drops_queued_events', 'etw_emulation/emu_consumer.cpp',
     r'''        if (consumer->queue.events.empty())
            break;''',
     r'''        if (consumer->ending)
            break;''',
     'etw_emulation_tests|live_capture_tests'),
    ('emu_close_ends_with_success', 'etw_emulation/emu_consumer.cpp',
     r'''EndConsumer(consumer, ERROR_CANCELLED);''',
     r'''EndConsumer(consumer, ERROR_SUCCESS);''',
     'etw_emulation_tests'),

    # --- etw_emulation/emu_controller.cpp ---------------------------------------
    ('emu_null_guid_sessions_collide', 'etw_emulation/emu_controller.cpp',
     r'''if (!IsEqualGUID(block->Wnode.Guid, kNullGuid) && FindSessionByGuid(&block->Wnode.Guid))''',
     r'''if (FindSessionByGuid(&block->Wnode.Guid))''',
     'etw_emulation_tests'),
    ('emu_provider_feeds_two_sessions', 'etw_emulation/emu_controller.cpp',
     r'''        if (emu.sessions[i] != session)
            RemoveProvider(emu.sessions[i], provider);''',
     r'''        if (emu.sessions[i] == session)
            RemoveProvider(emu.sessions[i], provider);''',
     'etw_emulation_tests'),

    # --- etw_emulation/emu_log_file.cpp -----------------------------------------
    ('emu_restart_keeps_current_file', 'etw_emulation/emu_log_file.cpp',
     r'''for (ULONG number = fileMax; number >= 1; number--)''',
     r'''for (ULONG number = fileMax; number > 1; number--)''',
     'main_dialog_tests'),
    ('emu_big_record_never_read', 'etw_emulation/emu_log_file.cpp',
     r'''        if (buffer.size() < needed)
            buffer.resize(needed);
''',
     r'''''',
     'main_dialog_tests'),

    # --- etw_emulation/emu_state.cpp --------------------------------------------
    ('emu_queue_bound_off_by_one', 'etw_emulation/emu_state.cpp',
     r'''if (queue->events.size() >= ETW_EMU_QUEUE_EVENTS)''',
     r'''if (queue->events.size() > ETW_EMU_QUEUE_EVENTS)''',
     'etw_emulation_tests'),
    ('emu_names_case_sensitive', 'etw_emulation/emu_state.cpp',
     r'''CompareStringOrdinal(a, -1, b, -1, TRUE)''',
     r'''CompareStringOrdinal(a, -1, b, -1, FALSE)''',
     'etw_emulation_tests'),

    # --- etw_emulation/etw_emulation.cpp ----------------------------------------
    ('emu_level_equal_filtered', 'etw_emulation/etw_emulation.cpp',
     r'''if (level <= enabled.level && SessionEnqueue''',
     r'''if (level < enabled.level && SessionEnqueue''',
     'etw_emulation_tests|live_view_tests'),
    ('emu_reset_keeps_plans', 'etw_emulation/etw_emulation.cpp',
     r'''    emu.planCount = 0;
''',
     r'''''',
     'trace_session_tests|etw_emulation_tests'),

    # --- etw_emulation/synthetic_traffic.cpp ------------------------------------
    ('traffic_stop_keeps_thread', 'etw_emulation/synthetic_traffic.cpp',
     r'''    CloseHandle(traffic.stopEvent);
    traffic.thread = nullptr;''',
     r'''    CloseHandle(traffic.stopEvent);''',
     'live_endurance_tests'),

    # --- tools/emit_options.cpp -------------------------------------------------
    ('emit_minimum_refused', 'tools/emit_options.cpp',
     r'''return value >= min;''',
     r'''return value > min;''',
     'emit_tests'),
    ('emit_message_one_unit_longer', 'tools/emit_options.cpp',
     r'''units > EMIT_MESSAGE_UNITS - 1 - message->length''',
     r'''units > EMIT_MESSAGE_UNITS - message->length''',
     'emit_tests'),
    ('emit_script_accepts_text', 'tools/emit_options.cpp',
     r'''describesMessage |= id <= kText;''',
     r'''describesMessage |= id < kText;''',
     'emit_tests'),

    # --- tools/quorvel_emit.cpp -------------------------------------------------
    ('emit_no_session_is_success', 'tools/quorvel_emit.cpp',
     r'''                     L"nothing was logged.\n", seconds);
    return FALSE;''',
     r'''                     L"nothing was logged.\n", seconds);
    return TRUE;''',
     'emit_tests'),
    ('emit_registered_text', 'tools/quorvel_emit.cpp',
     r'''L"Registered the six Quorvel providers.\n"''',
     r'''L"Registered the six Quorvel provider.\n"''',
     'emit_tests'),
    ('emit_level_equal_skipped', 'tools/quorvel_emit.cpp',
     r'''(level == 0 || level <= provider->enableLevel)''',
     r'''(level == 0 || level < provider->enableLevel)''',
     'emit_tests'),

    # --- app/main.cpp -------------------------------------------------------------
    ('main_load_config_default_dirs', 'app/main.cpp',
     r'''config.Reserved1 = LOAD_LIBRARY_SEARCH_SYSTEM32;''',
     r'''config.Reserved1 = LOAD_LIBRARY_SEARCH_DEFAULT_DIRS;''',
     'theme_loader_tests'),
    ('main_no_default_dll_directories', 'app/main.cpp',
     r'''    SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
''',
     r'''''',
     'theme_loader_tests'),

    # --- res/QuorvelTrace.rc ------------------------------------------------------
    ('rc_autoscroll_not_automatic', 'res/QuorvelTrace.rc',
     r'''IDC_LIVE_AUTOSCROLL, "BUTTON", BS_AUTOCHECKBOX''',
     r'''IDC_LIVE_AUTOSCROLL, "BUTTON", BS_CHECKBOX''',
     'live_view_tests|live_window_tests'),
    ('rc_view_without_hscroll', 'res/QuorvelTrace.rc',
     r'''"RichEdit20W", WS_VSCROLL | WS_HSCROLL | WS_TABSTOP''',
     r'''"RichEdit20W", WS_VSCROLL | WS_TABSTOP''',
     'live_view_tests|live_window_tests'),
]
