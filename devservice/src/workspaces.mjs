/**
 * One workspace per accepted API key, in the order the keys were given. The flags are integers
 * and "billing_date" and "whitelabel_key" always hold a value, as the app requires.
 */
export function workspacesByKey(apiKeys) {
  return new Map(
    apiKeys.map((apiKey, index) => {
      const id = index + 1;
      return [
        apiKey,
        {
          billing_date: 15,
          container_name: `vellumcast-ws-${id}`,
          created_at: '2024-03-18T09:41:27.000Z',
          current_stream_hours: 12,
          drm_enabled: 0,
          encoding_enabled: 1,
          encoding_seconds: 5400,
          has_8k: 1,
          id,
          max_stream_hours: 1000,
          seats: 5,
          stream_container_name: `vellumcast-stream-${id}`,
          streaming_enabled: 1,
          user_ids: [`user_${id}_owner`, `user_${id}_editor`],
          whitelabel_key: '',
          workspace_name: id === 1 ? 'Vellumcast Demo' : `Vellumcast Demo ${id}`,
          workspace_owner_id: `user_${id}_owner`,
        },
      ];
    }),
  );
}
