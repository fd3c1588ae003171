#include "TestSupport.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "FFUtils.h"
#include "FFmpegLoader.h"

extern char** environ;

ProcessResult RunProcess(const std::vector<std::string>& argv,
                         const std::vector<std::string>& extraEnv, int interruptAfterMs) {
  ProcessResult result;
  int outPipe[2], errPipe[2];
  if (pipe(outPipe) != 0 || pipe(errPipe) != 0) return result;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
  posix_spawn_file_actions_adddup2(&actions, errPipe[1], 2);
  posix_spawn_file_actions_addclose(&actions, outPipe[0]);
  posix_spawn_file_actions_addclose(&actions, errPipe[0]);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  std::vector<char*> env;
  for (char** e = environ; *e; ++e) env.push_back(*e);
  for (const auto& e : extraEnv) env.push_back(const_cast<char*>(e.c_str()));
  env.push_back(nullptr);
  pid_t pid = 0;
  int rc = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), env.data());
  posix_spawn_file_actions_destroy(&actions);
  close(outPipe[1]);
  close(errPipe[1]);
  if (rc != 0) {
    close(outPipe[0]);
    close(errPipe[0]);
    return result;
  }
  pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
  std::string* sinks[2] = {&result.out, &result.err};
  int open = 2;
  const auto started = std::chrono::steady_clock::now();
  bool interrupted = false;
  while (open > 0) {
    int timeout = -1;
    if (interruptAfterMs > 0 && !interrupted) {
      const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
                               std::chrono::steady_clock::now() - started).count();
      if (elapsed >= interruptAfterMs) {
        kill(pid, SIGINT);
        interrupted = true;
      } else {
        timeout = static_cast<int>(interruptAfterMs - elapsed);
      }
    }
    int ready = poll(fds, 2, timeout);
    if (ready < 0) break;
    if (ready == 0) continue;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP))) continue;
      char buf[4096];
      ssize_t n = read(fds[i].fd, buf, sizeof buf);
      if (n <= 0) {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open;
      } else {
        sinks[i]->append(buf, static_cast<size_t>(n));
      }
    }
  }
  int status = 0;
  waitpid(pid, &status, 0);
  result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

void LoadSystemLibraries(bool player) {
  FFLoader().SystemSearch = true;
  SetLibraryPath("");
  ASSERT_TRUE(LoadLibrarySet(player ? PlayerLibraries : EngineLibraries)) << GetLastErrMsg();
}

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "tolvane-test-XXXXXX").string();
  char* made = mkdtemp(pattern.data());
  path_ = made ? made : "";
}

TempDir::~TempDir() {
  std::error_code ec;
  if (!path_.empty()) std::filesystem::remove_all(path_, ec);
}

std::string FixturePath(const std::string& name) { return std::string(TOLVANE_FIXTURE_DIR) + "/" + name; }

void WriteTextFile(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

const std::map<std::string, std::string>* ProbedFile::Stream(const std::string& type) const& {
  for (const auto& s : streams)
    if (s.count("codec_type") && s.at("codec_type") == type) return &s;
  return nullptr;
}

ProbedFile ProbeWithReference(const std::string& file) {
  ProbedFile result;
  ProcessResult r = RunProcess({"/usr/bin/ffprobe", "-v", "error", "-count_frames", "-show_entries",
                                "stream=codec_type,codec_name,width,height,avg_frame_rate,nb_read_frames,"
                                "sample_rate,channels,duration:format=format_name,duration",
                                "-of", "compact", file});
  if (r.exitCode != 0) return result;
  std::istringstream lines(r.out);
  std::string line;
  while (std::getline(lines, line)) {
    std::map<std::string, std::string> fields;
    std::istringstream parts(line);
    std::string part, kind;
    std::getline(parts, kind, '|');
    while (std::getline(parts, part, '|')) {
      size_t eq = part.find('=');
      if (eq != std::string::npos) fields[part.substr(0, eq)] = part.substr(eq + 1);
    }
    if (kind == "stream") result.streams.push_back(fields);
    if (kind == "format") result.format = fields;
  }
  return result;
}

std::vector<TBitmap> DecodeVideoFrames(const std::string& file, int maxFrames) {
  std::vector<TBitmap> frames;
  AVFormatContext* ctx = nullptr;
  if (lavf.avformat_open_input(&ctx, file.c_str(), nullptr, nullptr) < 0) return frames;
  lavf.avformat_find_stream_info(ctx, nullptr);
  const int index = lavf.av_find_best_stream(ctx, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
  if (index < 0) {
    lavf.avformat_close_input(&ctx);
    return frames;
  }
  const AVCodecParameters* par = ctx->streams[index]->codecpar;
  AVCodecContext* dec = lavc.avcodec_alloc_context3(lavc.avcodec_find_decoder(par->codec_id));
  lavc.avcodec_parameters_to_context(dec, par);
  lavc.avcodec_open2(dec, lavc.avcodec_find_decoder(par->codec_id), nullptr);
  AVPacket* pkt = lavc.av_packet_alloc();
  AVFrame* frame = lavu.av_frame_alloc();
  TBitmapConverter conv;
  auto drain = [&] {
    while (static_cast<int>(frames.size()) < maxFrames && lavc.avcodec_receive_frame(dec, frame) >= 0) {
      if (PictureToBitmap(conv, frame->data, frame->linesize, static_cast<AVPixelFormat>(frame->format),
                          frame->width, frame->height)) {
        TBitmap copy(frame->width, frame->height);
        for (int r = 0; r < frame->height; ++r) memcpy(copy.ScanLine(r), conv.Bitmap->ScanLine(r), frame->width * 3);
        frames.push_back(std::move(copy));
      }
      lavu.av_frame_unref(frame);
    }
  };
  while (static_cast<int>(frames.size()) < maxFrames && lavf.av_read_frame(ctx, pkt) >= 0) {
    if (pkt->stream_index == index) lavc.avcodec_send_packet(dec, pkt);
    lavc.av_packet_unref(pkt);
    drain();
  }
  lavc.avcodec_send_packet(dec, nullptr);
  drain();
  lavu.av_frame_free(&frame);
  lavc.av_packet_free(&pkt);
  lavc.avcodec_free_context(&dec);
  lavf.avformat_close_input(&ctx);
  return frames;
}
